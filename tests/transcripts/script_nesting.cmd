# A script that loads itself stops at the nesting limit with one error line.
load_script data/self.txt
is_ready
