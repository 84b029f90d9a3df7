#!/bin/sh
# Filters the server's account file with quelm, from cron or by hand,
# and mails what it did. Ends with quelm's status: 0 nothing found,
# 1 privileges removed, 2 quelm failed (see quelm.log); or with 3:
# privileges were removed but the backup could not be moved out of the
# next run's way.

# Where things are: set these to your server's, here or before.
QUELM=${QUELM:-quelm}
ACCOUNTS=${ACCOUNTS:-/srv/sphere/save/sphereaccu.scp}
WORK=${WORK:-/var/lib/quelm}

# quelm writes its filtered copy, which holds every password, to the
# working directory: work in a directory of quelm's own, which holds
# gmlist.txt, the log and the backups.
cd "$WORK" || exit 2

# Both streams to the log, so that a failure's reason is in the mail.
"$QUELM" "$ACCOUNTS" gmlist.txt >quelm.log 2>&1
status=$?
case $status in
0) ;;
1)
  # The original is now sphereaccu.scp.old, and while it is there the
  # next run that finds privileges stops: keep it in backups instead.
  # mv replaces a file without asking and two runs can share a second,
  # so a counter makes the name one no backup holds yet.
  stamp=$(date +%Y-%m-%d_%H-%M-%S)
  n=1
  while [ -e "backups/accounts-$stamp-$n.scp" ]; do n=$((n + 1)); done
  if { mkdir -p backups && mv "$ACCOUNTS.old" \
    "backups/accounts-$stamp-$n.scp"; } 2>>quelm.log; then
    mail -s "quelm removed privileges" admin <quelm.log
  else
    echo "backup not moved: move \"$ACCOUNTS.old\" away by hand" >>quelm.log
    status=3
    mail -s "quelm removed privileges; backup not moved" admin <quelm.log
  fi
  ;;
*) mail -s "quelm failed" admin <quelm.log ;;
esac
exit $status
