# test_comm_port: the serial port driver
