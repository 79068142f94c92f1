# Information commands: readiness, clock, hand order, processor, memory.
is_ready
solver_time
show_hand_order
show_settings
is_tree_present
get_instruction_set
oxa_get_instruction_set
show_cpu_info
show_memory
show_memory
solver_time now
