#!/bin/sh
# scale-probe-metrics DIR: writes the scale's state, as the monitoring plugin
# installed beside it reads the probe's output, to DIR/scale_probe.prom for
# node_exporter's textfile collector. The file is replaced whole, by a new
# one renamed over it in the same folder, so that node_exporter never reads
# half of one. When that fails, this says why on standard error (the
# journal, under systemd) and the last file stays. CHECK_SCALE_PROBE in the
# environment names another plugin.
set -u
dir=${1:?usage: scale-probe-metrics DIR}
here=$(dirname "$(readlink -f "$0")")
plugin=${CHECK_SCALE_PROBE:-${here%/lib/scale-probe}/lib/nagios/plugins/check_scale_probe}

# Not *.prom, which node_exporter would read as it grows.
new=$(mktemp "$dir/.scale_probe.prom.XXXXXX") || exit 1
if "$plugin" --metrics </dev/null >"$new" && [ -s "$new" ] && chmod 0644 "$new" &&
  mv -f "$new" "$dir/scale_probe.prom"; then
  exit 0
fi
echo "scale-probe-metrics: $dir/scale_probe.prom not written: $plugin gave no metrics," \
  "or the error above" >&2
rm -f "$new"
exit 1
