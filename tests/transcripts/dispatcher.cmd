# Lookup, word counts, comments and the error forms of the dispatcher.
is_ready
GO
foo%s bar
stop now
is_ready extra
set_range OOP 1 2 3
#comment
# comment with words
LABEL: nothing-pending
LABEL:
echo "a reply"
set_threads 1e3x
set_threads 99999999999999999
set_threads abc
go 10 steps and more
go
stop
free_tree
show_strategy r:0
calc_results
set_compression 0
load_tree file.bin
node_count
show_effective_stack
set_ev_boost r:0:c 0.5
set_ev_boost r:0:c
   
exit
is_ready
