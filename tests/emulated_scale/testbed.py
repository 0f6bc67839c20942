"""Device descriptions for umockdev: the scale (or its near misses) as the
kernel would show it in sysfs, down to the hidraw node that hidapi opens."""

import sys

# A vendor-defined collection with one 64-byte input and one 64-byte output
# report, as the scale declares.
REPORT_DESCRIPTOR = "0600FF0901A10115002600FF750895400901810209019102C0"


def usb_hid_device(port, vendor="1111", product="0004", name="Bench Scale",
                   serial="SC-000123", interfaces=(0,), first_hidraw=0,
                   node=True):
    """One USB device on bus 1, `port`, with a HID interface and a hidraw
    node per entry of `interfaces`. Without `node` the hidraw devices are in
    sysfs but have no /dev node, so they enumerate and cannot be opened."""
    usb = f"/devices/pci0000:00/0000:00:14.0/usb1/1-{port}"
    stanzas = [f"""P: {usb}
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor={vendor}
A: idProduct={product}
A: manufacturer=Example Weighing
A: product={name}
A: serial={serial}
A: bcdDevice=0100
"""]
    for n, interface in enumerate(interfaces):
        intf = f"{usb}/1-{port}:1.{interface}"
        hid = f"0003:{vendor.upper()}:{product.upper()}.{port:02X}{interface:02X}"
        hidraw = f"hidraw{first_hidraw + n}"
        stanzas.append(f"""P: {intf}
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
A: bInterfaceNumber={interface:02x}
""")
        stanzas.append(f"""P: {intf}/{hid}
E: SUBSYSTEM=hid
E: HID_ID=0003:0000{vendor.upper()}:0000{product.upper()}
E: HID_NAME=Example Weighing {name}
E: HID_UNIQ={serial}
H: report_descriptor={REPORT_DESCRIPTOR}
""")
        node_lines = f"N: {hidraw}\nE: DEVNAME=/dev/{hidraw}\n" if node else ""
        stanzas.append(f"P: {intf}/{hid}/hidraw/{hidraw}\n{node_lines}"
                       f"E: SUBSYSTEM=hidraw\nL: device=../../../{hid}\n")
    return "\n".join(stanzas)


if __name__ == "__main__":
    # Writes the plain scale's description, for running the probe by hand.
    sys.stdout.write(usb_hid_device(1))
