#!/bin/sh
# Filters the server's account file with quelm, from cron or by hand,
# and mails what it did. Ends with quelm's status: 0 nothing found,
# 1 privileges removed, 2 quelm failed (see quelm.log).

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
  mkdir -p backups
  mv "$ACCOUNTS.old" "backups/accounts-$(date +%Y-%m-%d_%H-%M-%S).scp"
  mail -s "quelm removed privileges" admin <quelm.log
  ;;
*) mail -s "quelm failed" admin <quelm.log ;;
esac
exit $status
