#! args: -v
#! file: out.txt
#! file: marker.txt
#! file: after-full.txt
#! file: switched.txt
# Scripts, labels, redirection and the utility commands.
load_script no-such-script.txt
stdoutredi marker.txt
echo written-to-marker
stdoutback
skip_if_done marker.txt DONE
echo skipped
exit
LABEL: OTHER
echo still-skipped
LABEL: DONE
echo after-label
skip_if_done missing-marker.txt DONE
echo not-skipped
stdoutredi out.txt
echo to-file
repeat 2 line in file
stdoutredi_append out.txt
echo appended
stdoutback
stdoutredi /nonexistent-dir/out.txt
echo still-on-stdout
# Every write to /dev/full fails: the loss is said once on standard error,
# stdoutback reports it, and the next redirection starts afresh.
stdoutredi /dev/full
repeat 3 lost
echo lost
stdoutback
stdoutredi_append after-full.txt
echo kept
stdoutback
# A redirection that lost writes and is switched to another file: the
# switch's reply, in the new file, reports the loss.
stdoutredi /dev/full
show_hand_order
stdoutredi switched.txt
echo b
stdoutback
repeat 3 a b
repeat 2 #diagnostic
repeat 0 x
repeat 100000 x
repeat x y
repeat 2
echo hello world
echo "hello world"
echo 50%
echo %s%d
echo
sleep 20
sleep -5
sleep abc
is_ready
