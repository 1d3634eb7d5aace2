# test_v7_messages
