/* A scripted stand-in for hidapi, loaded in place of the real library to
 * drive what real hardware cannot be made to do: a failing start, open,
 * write or read, odd device strings. Plain C, so that loading it costs the
 * probe no more than the real library does (the benchmark uses it too).
 *
 * FAKE_HIDAPI_SCRIPT names a file of numbers, in this order: what hid_init
 * returns; whether hid_open fails (1) or not (0); what hid_write returns;
 * what hid_read returns, then as many bytes as that says it filled in, in
 * hex; the text that hid_error returns; the number of devices, then for each
 * its vendor and product id in hex, its serial number and product string.
 * A text is -1 for none, or a count and that many wchar_t units in hex.
 * FAKE_HIDAPI_LOG names a file that gets a line per call: the time in
 * microseconds, the call, what it was given. */

#include <hidapi/hidapi.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

enum { max_devices = 8, max_units = 64, report_max = 256 };

static struct {
  int init_result, open_fails, write_result, read_result, devices;
  unsigned char read_data[report_max];
  unsigned vid[max_devices], pid[max_devices];
  wchar_t units[2 * max_devices + 1][max_units + 1];
  wchar_t *serial[max_devices], *product[max_devices], *error;
} script = {.write_result = 65};

static wchar_t *read_text(FILE *in, wchar_t *units) {
  int count = -1;
  unsigned unit = 0;
  fscanf(in, "%d", &count);
  for (int i = 0; i < count && i < max_units && fscanf(in, "%x", &unit) == 1;
       ++i) {
    units[i] = (wchar_t)unit;
  }
  return count < 0 ? NULL : units;
}

static void load_script(void) {
  const char *path = getenv("FAKE_HIDAPI_SCRIPT");
  FILE *in = path != NULL ? fopen(path, "r") : NULL;
  if (in == NULL) {
    return;
  }
  unsigned byte = 0;
  fscanf(in, "%d %d %d %d", &script.init_result, &script.open_fails,
         &script.write_result, &script.read_result);
  for (int i = 0;
       i < script.read_result && i < report_max && fscanf(in, "%x", &byte) == 1;
       ++i) {
    script.read_data[i] = (unsigned char)byte;
  }
  script.error = read_text(in, script.units[2 * max_devices]);
  fscanf(in, "%d", &script.devices);
  for (int i = 0; i < script.devices && i < max_devices; ++i) {
    fscanf(in, "%x %x", &script.vid[i], &script.pid[i]);
    script.serial[i] = read_text(in, script.units[2 * i]);
    script.product[i] = read_text(in, script.units[2 * i + 1]);
  }
  fclose(in);
}

/* One line per call: the time in microseconds, the call, what it was given. */
static void log_call(const char *format, ...) {
  static FILE *log;
  const char *path = getenv("FAKE_HIDAPI_LOG");
  if (log == NULL && (path == NULL || (log = fopen(path, "w")) == NULL)) {
    return;
  }
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  fprintf(log, "%.0f ", (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3);
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputs("\n", log);
  fflush(log);
}

static const char *hex(const unsigned char *data, size_t length) {
  static char text[2 * report_max + 1];
  for (size_t i = 0; i < length && i < report_max; ++i) {
    snprintf(text + 2 * i, 3, "%02x", data[i]);
  }
  return text;
}

int HID_API_EXPORT hid_init(void) {
  load_script();
  log_call("hid_init");
  return script.init_result;
}

int HID_API_EXPORT hid_exit(void) {
  log_call("hid_exit");
  return 0;
}

struct hid_device_info HID_API_EXPORT *hid_enumerate(unsigned short vid,
                                                     unsigned short pid) {
  log_call("hid_enumerate %04x %04x", vid, pid);
  struct hid_device_info *head = NULL, **tail = &head;
  for (int i = 0; i < script.devices && i < max_devices;
       ++i, tail = &(*tail)->next) {
    *tail = calloc(1, sizeof **tail);
    (*tail)->vendor_id = (unsigned short)script.vid[i];
    (*tail)->product_id = (unsigned short)script.pid[i];
    (*tail)->serial_number = script.serial[i] ? wcsdup(script.serial[i]) : NULL;
    (*tail)->product_string =
        script.product[i] ? wcsdup(script.product[i]) : NULL;
  }
  return head;
}

void HID_API_EXPORT hid_free_enumeration(struct hid_device_info *devs) {
  log_call("hid_free_enumeration %s", devs != NULL ? "list" : "null");
  for (struct hid_device_info *next = NULL; devs != NULL; devs = next) {
    next = devs->next;
    free(devs->serial_number);
    free(devs->product_string);
    free(devs);
  }
}

hid_device *HID_API_EXPORT hid_open(unsigned short vid, unsigned short pid,
                                    const wchar_t *serial_number) {
  log_call("hid_open %04x %04x %s", vid, pid,
           serial_number ? "serial" : "null");
  /* Any pointer that is not null serves as the one device there is. */
  return script.open_fails ? NULL : (hid_device *)&script;
}

void HID_API_EXPORT hid_close(hid_device *dev) { log_call("hid_close"); }

int HID_API_EXPORT hid_set_nonblocking(hid_device *dev, int nonblock) {
  log_call("hid_set_nonblocking %d", nonblock);
  return 0;
}

int HID_API_EXPORT hid_write(hid_device *dev, const unsigned char *data,
                             size_t length) {
  log_call("hid_write %u %s", (unsigned)length, hex(data, length));
  return script.write_result;
}

int HID_API_EXPORT hid_read(hid_device *dev, unsigned char *data,
                            size_t length) {
  log_call("hid_read %u %s", (unsigned)length, hex(data, length));
  for (int i = 0; i < (int)length && i < script.read_result; ++i) {
    data[i] = script.read_data[i];
  }
  return script.read_result;
}

const wchar_t HID_API_EXPORT *hid_error(hid_device *dev) {
  log_call("hid_error");
  return script.error;
}
