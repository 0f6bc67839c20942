#!/bin/sh
# check_scale_probe: the scale's state as a monitoring plugin, for Nagios,
# Icinga, NRPE, check_by_ssh and the other engines that run Monitoring
# Plugins. It runs the scale-probe installed beside it (not whatever the
# agent's PATH finds) with an input that ends at once, so that the probe's
# pause returns whatever this plugin's own input is (NRPE and check_by_ssh
# leave it open), within a time limit, and turns the probe's output and
# status into a status line and a plugin status.

# check_by_ssh takes anything on standard error for a failed check; the
# shell itself writes there when a child is killed by a signal. The probe's
# own standard error goes with its output.
exec 2>/dev/null

here=$(dirname "$(readlink -f "$0")")
case $here in
  */lib/nagios/plugins) probe=${here%/lib/nagios/plugins}/bin/scale-probe ;;
  *) probe=/usr/bin/scale-probe ;;
esac
probe=${SCALE_PROBE:-$probe}
limit=10 metrics=""

while [ $# -gt 0 ]; do
  case $1 in
    -V | --version) echo "check_scale_probe @PROJECT_VERSION@"; exit 0 ;;
    -h | --help)
      cat <<EOF2
Usage: check_scale_probe [-t SECONDS] [--metrics]

Checks that the USB scale (vendor 1111, product 0004) is attached and answers
its command, with $probe (SCALE_PROBE in the
environment names another). Its first line says how; the probe's own output
follows.
  -t, --timeout=SECONDS  end the probe, and all it started, when it has not
                         ended by then (default 10)
  --metrics              print the state as Prometheus metrics instead, and
                         end with status 0 (scale-probe-metrics uses it)
Status:
  0 OK        the scale answered; the line names its serial number
  1 WARNING   the scale took the command but sent no reply within 10 ms
  2 CRITICAL  no scale, or it could not be opened, written to or read; when
              it could not be opened, the line names its node, the node's
              owner, group and mode, this plugin's user and what lets that
              user open it
  3 UNKNOWN   the HID library did not start, the probe did not end in time or
              was ended by a signal, or the probe is not installed
The user that runs it must be allowed to open the scale: add it to plugdev.
EOF2
      exit 0 ;;
    -t | --timeout) limit=${2-}; [ $# -lt 2 ] || shift ;;
    -t*) limit=${1#-t} ;;
    --timeout=*) limit=${1#*=} ;;
    --metrics) metrics=yes ;;
    *) echo "SCALE UNKNOWN - unknown option $1; try --help"; exit 3 ;;
  esac
  shift
done
case $limit in
  "" | *[!0-9]*) limit=0 ;;
esac
if [ "$limit" -eq 0 ]; then
  echo "SCALE UNKNOWN - the timeout must be a whole number of seconds, 1 or more"
  exit 3
fi

ended="" output=/dev/null status=127
if [ ! -x "$probe" ]; then
  ended="scale-probe is not installed: no $probe"
else
  output=$(mktemp) || { echo "SCALE UNKNOWN - no temporary file for the probe's output"; exit 3; }
  trap 'rm -f "$output"' EXIT
  # timeout makes a process group of its own, which it ends whole when the
  # time is up or when it is itself told to end.
  began=$(date +%s)
  timeout --kill-after=2 "$limit" "$probe" </dev/null >"$output" 2>&1 &
  running=$!
  for signal in TERM INT HUP; do
    trap "kill -TERM $running; wait $running
          echo 'SCALE UNKNOWN - the plugin was ended by signal $signal'; exit 3" $signal
  done
  wait $running
  status=$?
  trap - TERM INT HUP
  # A shell's status for a signal, 129 to 192, not the probe's own 255.
  signalled=$([ $status -gt 128 ] && [ $status -le 192 ] && echo yes)
  if [ $status -eq 124 ] || { [ "$signalled" ] && [ $(($(date +%s) - began)) -ge "$limit" ]; }; then
    ended="the probe did not end within $limit s"
  elif [ "$signalled" ]; then
    ended="the probe was ended by signal $(kill -l $((status - 128)))"
  fi
fi

# Under an agent, a refused open is nearly always the node's rights.
refused=""
if [ $status -eq 1 ] && grep -qx "unable to open device" "$output"; then
  refused="no hidraw node of the scale was found"
  for uevent in /sys/class/hidraw/*/device/uevent; do
    grep -q "^HID_ID=.*:00001111:00000004$" "$uevent" || continue
    node=${uevent#/sys/class/hidraw/}
    node=/dev/${node%%/*}
    user=$(id -un)
    set -- $(stat -c "%U %G %a" "$node")
    if [ "$2" = plugdev ]; then
      fix="add $user to plugdev (usermod -aG plugdev $user) and restart the agent"
    else
      fix="install scale-probe's udev rule and replug the scale"
    fi
    refused="$node is $1:$2, mode 0$3, and $user may not open it: $fix"
    break
  done
fi

# The serial number and product from the identity, the message from what
# is left once the identity, the dumps' headings and bytes and the pause's
# prompt are gone; the output follows as the long text. A "|" would start
# performance data: it shows as "?" there, but not in metrics, whose label
# values are escaped instead.
LC_ALL=C awk -v status=$status -v ended="$ended" -v refused="$refused" -v metrics="$metrics" \
  -v now="$(date +%s)" '
  # Label values escape the backslash and the double quote; no newline gets here.
  function escape(text, char,   out, at) {
    while ((at = index(text, char)) > 0) {
      out = out substr(text, 1, at - 1) "\\" char
      text = substr(text, at + 1)
    }
    return out text
  }
  function label(text) { return escape(escape(text, "\\"), "\"") }
  function metric(name, labels, help, value) {
    printf "# HELP scale_probe_%s %s\n# TYPE scale_probe_%s gauge\nscale_probe_%s%s %s\n",
      name, help, name, name, labels, value
  }
  /^Press any key/ { next }
  !metrics { gsub(/\|/, "?") }
  { long = long $0 "\n" }
  sub(/^  serial_number: /, "") { serial = $0; found = 1; next }
  sub(/^  Product:      /, "") { product = $0; next }
  /^   (00 )+$/ { silent = 1 }
  /^  Vid & Pid:/ || /^Data (write|read) / || /^$/ { next }
  { sub(/^   ([0-9a-f][0-9a-f] )*/, "") }
  $0 != "" { message = message separator $0; separator = " " }
  END {
    if (ended != "") { state = 3; line = ended }
    else if (status == 0 && silent) {
      state = 1; line = "the scale " serial " took the command but sent no reply within 10 ms"
    } else if (status == 0) { state = 0; line = "the scale " serial " answered" }
    else if (status == 1) { state = 2; line = message (refused == "" ? "" : ": " refused) }
    else if (status == 255) { state = 3; line = "the HID library failed to start" }
    else { state = 3; line = "scale-probe ended with status " status }
    if (!metrics) {
      split("OK WARNING CRITICAL UNKNOWN", word)
      printf "SCALE %s - %s\n%s", word[state + 1], line, long
      exit state
    }
    metric("up", "", "1 when the scale answered its command, else 0.", state == 0)
    metric("status", "", "The monitoring plugin'"'"'s status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.",
           state)
    if (found)
      metric("info", "{serial=\"" label(serial) "\",product=\"" label(product) "\"}",
             "The scale that was found, by its serial number and product name.", 1)
    metric("last_run_timestamp_seconds", "", "When the scale was last probed.", now)
  }' "$output"
