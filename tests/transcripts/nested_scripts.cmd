#! args: -v
# Scripts that load scripts, a script that loads itself, CR line ends, a
# byte-order mark, a directory, exit inside a script.
load_script data/nested.txt
load_script data/crlf.txt
is_ready
load_script data/bom.txt
load_script data
load_script data/exit.txt
is_ready
