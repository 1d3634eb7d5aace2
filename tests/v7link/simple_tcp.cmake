# test_simple_tcp: the asynchronous TCP client
