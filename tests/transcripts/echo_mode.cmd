#! args: -o
# comment echoed
   
is_ready
skip_if_done data DONE
echo   "skipped  words"
LABEL: DONE
exit
is_ready
