#!/bin/busybox sh
# PID 1 of the test machine. Loads the drivers, puts the host's root under
# /host read-only, with fresh /run and /dev/shm in guest memory, a /tmp whose
# writes stay there too, and the host's work folder writable at its own path;
# runs the host's command there, records its exit status and powers off.
/bin/busybox --install -s /bin
mount -t proc proc /proc && mount -t sysfs sysfs /sys && mount -t devtmpfs devtmpfs /dev
mkdir /dev/pts && mount -t devpts devpts /dev/pts
while read -r module; do insmod "$module"; done </etc/modules
mount -t configfs configfs /sys/kernel/config

nine_p="trans=virtio,version=9p2000.L,msize=512000"
# The host's files do not change under a run: let the guest cache them.
mount -t 9p -o "$nine_p,ro,cache=loose" root /host
for fs in proc sys dev; do mount --rbind "/$fs" "/host/$fs"; done
# The host's /tmp (a checkout may live there), with the guest's writes (Wine's
# server socket among them) in memory on top.
mkdir /scratch && mount -t tmpfs tmpfs /scratch && mkdir /scratch/tmp /scratch/work
mount -t overlay -o lowerdir=/host/tmp,upperdir=/scratch/tmp,workdir=/scratch/work \
  overlay /host/tmp && chmod 1777 /host/tmp
mkdir -p /host/dev/shm
for dir in run dev/shm; do mount -t tmpfs -o mode=1777,size=80% tmpfs "/host/$dir"; done
work=$(cat /etc/work)
mount -t 9p -o "$nine_p" work "/host$work"

chroot /host /bin/sh "$work/command.sh" >"/host$work/output" 2>&1
echo $? >"/host$work/status"
sync
poweroff -f
