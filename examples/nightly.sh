#!/bin/sh
# Filters the server's account file with quelm, from cron or by hand,
# then its changes file, sphereacct.scp beside it, when there is one:
# the server applies that file at every start and save, so a privilege
# line in it comes back however clean the account file is. Ends with 2
# if either run failed (see quelm.log), else 3 if a backup could not be
# moved out of the next run's way, else 1 if either removed privileges,
# else 0.
# Unless all was clean, mails the log to $MAILTO with mail(1) (Debian:
# bsd-mailx, with a mail server); without a mail command, the log in
# $WORK is all there is, and says it was not mailed.

# Where things are: set these to your server's, here or before.
QUELM=${QUELM:-quelm}
ACCOUNTS=${ACCOUNTS:-/srv/sphere/save/sphereaccu.scp}
WORK=${WORK:-/var/lib/quelm}
MAILTO=${MAILTO:-admin}

# quelm writes its filtered copy, which holds every password, to the
# working directory: work in a directory of quelm's own, made here for
# its owner alone, which holds gmlist.txt, the log and the backups.
mkdir -p -m 700 "$WORK" && cd "$WORK" && : >quelm.log || exit 2

# Filters the file $1, keeps its backup as backups/$2-*.scp and sets
# status: a failure outranks all, as privileges may remain in its file.
status=0
filter() {
  echo "==== $(date '+%Y-%m-%d %H:%M:%S') $1" >>quelm.log
  # Both streams to the log, so that a failure's reason is in the mail.
  "$QUELM" "$1" gmlist.txt >>quelm.log 2>&1
  run=$?
  case $run in
  0) ;;
  1)
    # The original now stands beside the file as its .old, and while it
    # is there the next run that finds privileges stops: keep it in
    # backups instead. mv replaces a file without asking and two runs
    # can share a second, so a counter makes the name one no backup
    # holds yet.
    stamp=$(date +%Y-%m-%d_%H-%M-%S)
    n=1
    while [ -e "backups/$2-$stamp-$n.scp" ]; do n=$((n + 1)); done
    if ! { mkdir -p backups && mv "$1.old" \
      "backups/$2-$stamp-$n.scp"; } 2>>quelm.log; then
      echo "backup not moved: move \"$1.old\" away by hand" >>quelm.log
      run=3
    fi
    ;;
  *)
    echo "quelm failed with status $run; nothing changed" >>quelm.log
    run=2
    ;;
  esac
  if [ "$status" != 2 ] && { [ "$run" = 2 ] || [ "$run" -gt "$status" ]; }; then
    status=$run
  fi
}

filter "$ACCOUNTS" accounts
changes=$(dirname "$ACCOUNTS")/sphereacct.scp
if [ -e "$changes" ]; then filter "$changes" changes; fi

case $status in
0) exit 0 ;;
1) subject="quelm removed privileges" ;;
2) subject="quelm failed" ;;
*) subject="quelm removed privileges; backup not moved" ;;
esac
if command -v mail >/dev/null; then
  mail -s "$subject" "$MAILTO" <quelm.log
else
  echo "not mailed ($subject): no mail command" >>quelm.log
fi
exit $status
