/* A scripted stand-in for hidapi, loaded in place of the real library to
 * drive what real hardware cannot be made to do: a failing start, open,
 * write or read, odd device strings. Plain C, so that loading it costs the
 * probe no more than the real library does (the benchmark uses it too).
 *
 * FAKE_HIDAPI_SCRIPT names a file of numbers, in this order: what hid_init
 * returns; whether hid_open fails (1) or not (0); what hid_write returns;
 * what hid_read returns, then a count and that many bytes it fills in, in
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
#include <wchar.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

enum { max_devices = 8, max_units = 64, report_max = 256 };

struct text {
  int is_null;
  wchar_t units[max_units + 1];
};

static struct {
  int init_result, open_fails, write_result, read_result, read_size, devices;
  unsigned char read_data[report_max];
  unsigned vid[max_devices], pid[max_devices];
  struct text serial[max_devices], product[max_devices], error;
} script = {.write_result = 65, .error = {.is_null = 1}};

static void read_text(FILE *in, struct text *text) {
  int count = -1;
  unsigned unit = 0;
  text->is_null = fscanf(in, "%d", &count) != 1 || count < 0;
  for (int i = 0; i < count && i < max_units && fscanf(in, "%x", &unit) == 1;
       ++i) {
    text->units[i] = (wchar_t)unit;
  }
}

static void load_script(void) {
  const char *path = getenv("FAKE_HIDAPI_SCRIPT");
  FILE *in = path != NULL ? fopen(path, "r") : NULL;
  if (in == NULL) {
    return;
  }
  unsigned byte = 0;
  fscanf(in, "%d %d %d %d %d", &script.init_result, &script.open_fails,
         &script.write_result, &script.read_result, &script.read_size);
  for (int i = 0;
       i < script.read_size && i < report_max && fscanf(in, "%x", &byte) == 1;
       ++i) {
    script.read_data[i] = (unsigned char)byte;
  }
  read_text(in, &script.error);
  fscanf(in, "%d", &script.devices);
  for (int i = 0; i < script.devices && i < max_devices; ++i) {
    fscanf(in, "%x %x", &script.vid[i], &script.pid[i]);
    read_text(in, &script.serial[i]);
    read_text(in, &script.product[i]);
  }
  fclose(in);
}

/* One line per call: the time in microseconds, the call, what it was given. */
static void log_call(const char *format, ...)
    __attribute__((format(printf, 1, 2)));
static void log_call(const char *format, ...) {
  static FILE *log;
  const char *path = getenv("FAKE_HIDAPI_LOG");
  if (log == NULL && (path == NULL || (log = fopen(path, "w")) == NULL)) {
    return;
  }
#ifdef _WIN32
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  fprintf(log, "%.0f ",
          (double)count.QuadPart * 1e6 / (double)frequency.QuadPart);
#else
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  fprintf(log, "%.0f ", (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3);
#endif
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

static wchar_t *copy(const struct text *text) {
  return text->is_null ? NULL : wcsdup(text->units);
}

/* Any non-null pointer serves as the one device there is. */
static int handle;

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
    (*tail)->serial_number = copy(&script.serial[i]);
    (*tail)->product_string = copy(&script.product[i]);
  }
  return head;
}

void HID_API_EXPORT hid_free_enumeration(struct hid_device_info *devs) {
  log_call("hid_free_enumeration %s", devs != NULL ? "list" : "null");
  while (devs != NULL) {
    struct hid_device_info *next = devs->next;
    free(devs->serial_number);
    free(devs->product_string);
    free(devs);
    devs = next;
  }
}

hid_device *HID_API_EXPORT hid_open(unsigned short vid, unsigned short pid,
                                    const wchar_t *serial_number) {
  log_call("hid_open %04x %04x %s", vid, pid,
           serial_number ? "serial" : "null");
  return script.open_fails ? NULL : (hid_device *)&handle;
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
  for (size_t i = 0; i < length && i < (size_t)script.read_size; ++i) {
    data[i] = script.read_data[i];
  }
  return script.read_result;
}

const wchar_t HID_API_EXPORT *hid_error(hid_device *dev) {
  log_call("hid_error");
  return script.error.is_null ? NULL : script.error.units;
}
