#!/bin/sh
# Stops the database on battery, starts it again when power is back.
logger -t cvnremote "$CVN_EVENT: $1 (output $CVN_OUTPUT_SOURCE, $CVN_SECONDS_LEFT s left)"
case "$CVN_EVENT" in
  onbattery)     systemctl stop postgresql ;;
  powerrestored) systemctl start postgresql ;;
esac
