"""What the probe prints, as the tests expect it, byte for byte."""

# What the probe must send: report number 0, "CMD>", six fixed bytes, "RDZ",
# 0x8e, zero fill to 65 bytes.
COMMAND_REPORT = bytes.fromhex("00434d443e06000012200052445a8e") + bytes(50)

NOT_CONNECTED = "The scale was not connected or buse\n"
UNABLE_TO_OPEN = "unable to open device\n"
PAUSE = "Press any key to continue . . . \n"  # our own, where there is no cmd
WRITE_DUMP = "Data write (bytes in hex):\n   " + "".join(
    f"{b:02x} " for b in COMMAND_REPORT[1:15])


def identity(serial="SC-000123", product="Bench Scale"):
    return (f"  Vid & Pid: 0x1111 0x0004\n  serial_number: {serial}\n"
            f"  Product:      {product}\n\n")


def read_dump(buffer=b""):
    """The read line for what hid_read put into the buffer: bytes 1 to 64 of
    it, zeros for what did not arrive; byte 0 is never shown."""
    shown = (buffer + bytes(65))[1:65]
    return "\nData read (bytes in hex):\n   " + "".join(f"{b:02x} " for b in shown) + "\n"
