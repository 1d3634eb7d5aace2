# test_receiver: frame decoding, event records and spool files
