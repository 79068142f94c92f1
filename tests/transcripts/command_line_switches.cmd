#! args: -s -e -p 1234
# The server, exit and port switches are accepted and change nothing.
is_ready
