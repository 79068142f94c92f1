#! args: data
# A directory named as the start-up script is refused like a file that
# cannot be opened; the commands of standard input still run.
is_ready
