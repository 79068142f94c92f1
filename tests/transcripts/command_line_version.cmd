#! args: --version
is_ready
