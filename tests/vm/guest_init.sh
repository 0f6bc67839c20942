#!/bin/busybox sh
# PID 1 of the test machine. Loads the drivers the tests need, puts the host's
# root file system under /host read-only, with a /tmp whose writes stay here,
# fresh /run and /dev/shm, and the writable folders the host named at their
# own paths; runs the host's command there, records its exit status and
# powers off.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

while read -r module options; do
  # shellcheck disable=SC2086 # options are words
  insmod "/modules/$module" $options || echo "init: cannot load $module" >&2
done </etc/modules

nine_p="trans=virtio,version=9p2000.L,msize=512000"
# The host's files do not change under a run: let the guest cache them.
mount -t 9p -o "$nine_p,ro,cache=loose" root /host || echo "init: no host root" >&2
for fs in proc sys dev; do mount --rbind "/$fs" "/host/$fs"; done
# The host's /tmp, with the guest's writes in memory on top.
mount -t tmpfs -o size=80% tmpfs /scratch
mkdir -p /scratch/tmp /scratch/work && chmod 1777 /scratch/tmp
mount -t overlay -o lowerdir=/host/tmp,upperdir=/scratch/tmp,workdir=/scratch/work \
  overlay /host/tmp || echo "init: no /tmp" >&2
for dir in run dev/shm; do
  mkdir -p "/host/$dir" && mount -t tmpfs -o mode=1777 tmpfs "/host/$dir"
done
while read -r tag path; do
  mkdir -p "/host$path" 2>/dev/null
  mount -t 9p -o "$nine_p" "$tag" "/host$path" || echo "init: cannot mount $path" >&2
done </etc/writable

control=$(cat /etc/control)
: >"/host$control/started"
chroot /host /bin/sh "$control/command.sh" >"/host$control/output" 2>&1
echo $? >"/host$control/status"
sync
poweroff -f
