# Hand categories: the two vocabularies, the category lines of flop, turn and
# river boards, and the refused boards.
show_category_names
show_category_names extra
show_categories As Kd 7c
show_categories "7c 6d 2s 3h"
show_categories AsKd7c4h2s
show_categories As Kd
show_categories As Kd 7c 4h 2s 3s
show_categories
show_categories As Kd As
show_categories As Kd 7x
