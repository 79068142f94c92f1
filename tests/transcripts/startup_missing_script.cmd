#! args: missing-script.txt
#! status: 1
is_ready
