#! args: -v "data/start up/first.txt"
#! stdin: none
# A start-up script whose name holds blanks runs before standard input; its
# replies are printed even when standard input is empty.
