#! args: -p notaport
#! status: 1
is_ready
