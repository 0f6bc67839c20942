/* A scripted stand-in for hidapi, loaded in place of the real library to
 * drive the paths that real hardware cannot be made to take: a failing
 * start, write or read, odd device strings. Plain C, so that loading it costs
 * the probe no more than the real library does.
 *
 * FAKE_HIDAPI_SCRIPT names a file of lines (all optional):
 *   init <status>                         what hid_init returns
 *   device <vid> <pid> <serial> <product> one enumeration record, in order;
 *                                         ids in hex; a string is "null", "-"
 *                                         (empty) or comma-separated hex
 *                                         wchar_t units
 *   open ok|fail                          whether hid_open returns a handle
 *   write <result>                        what hid_write returns
 *   error <string>                        what hid_error returns
 *   read <result> [hex bytes...]          what hid_read returns and fills in
 * FAKE_HIDAPI_LOG names a file that gets one line per call:
 *   <microseconds> <function> [arguments] */

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

enum { max_devices = 16, max_units = 256, report_max = 256 };

struct fake_text {
  int is_null;
  wchar_t units[max_units + 1];
};

struct fake_device {
  unsigned short vendor_id, product_id;
  struct fake_text serial, product;
};

static struct {
  int loaded;
  int init_result;
  int device_count;
  struct fake_device devices[max_devices];
  int open_ok;
  int write_result;
  struct fake_text error;
  int read_result;
  size_t read_size;
  unsigned char read_data[report_max];
} script;

/* "null", "-" (empty) or comma-separated hex units. */
static void parse_text(const char *word, struct fake_text *text) {
  memset(text, 0, sizeof *text);
  text->is_null = strcmp(word, "null") == 0;
  if (text->is_null || strcmp(word, "-") == 0) {
    return;
  }
  size_t n = 0;
  const char *p = word;
  while (*p != '\0' && n < max_units) {
    char *end = NULL;
    text->units[n++] = (wchar_t)strtoul(p, &end, 16);
    if (end == p || (*end != ',' && *end != '\0')) {
      break;
    }
    p = *end == ',' ? end + 1 : end;
  }
}

static void load_script(void) {
  if (script.loaded) {
    return;
  }
  script.loaded = 1;
  script.open_ok = 1;
  script.write_result = 65;
  script.error.is_null = 1;
  const char *path = getenv("FAKE_HIDAPI_SCRIPT");
  FILE *in = path != NULL ? fopen(path, "r") : NULL;
  if (in == NULL) {
    return;
  }
  static char line[8192], first[4096], second[4096];
  while (fgets(line, sizeof line, in) != NULL) {
    char key[16] = "";
    unsigned vid = 0, pid = 0;
    int used = 0;
    if (sscanf(line, "%15s%n", key, &used) != 1) {
      continue;
    }
    const char *rest = line + used;
    if (strcmp(key, "init") == 0) {
      sscanf(rest, "%d", &script.init_result);
    } else if (strcmp(key, "device") == 0 &&
               script.device_count < max_devices &&
               sscanf(rest, "%x %x %4095s %4095s", &vid, &pid, first, second) ==
                   4) {
      struct fake_device *d = &script.devices[script.device_count++];
      d->vendor_id = (unsigned short)vid;
      d->product_id = (unsigned short)pid;
      parse_text(first, &d->serial);
      parse_text(second, &d->product);
    } else if (strcmp(key, "open") == 0 && sscanf(rest, "%4095s", first) == 1) {
      script.open_ok = strcmp(first, "ok") == 0;
    } else if (strcmp(key, "write") == 0) {
      sscanf(rest, "%d", &script.write_result);
    } else if (strcmp(key, "error") == 0 &&
               sscanf(rest, "%4095s", first) == 1) {
      parse_text(first, &script.error);
    } else if (strcmp(key, "read") == 0 &&
               sscanf(rest, "%d%n", &script.read_result, &used) == 1) {
      rest += used;
      unsigned byte = 0;
      while (script.read_size < report_max &&
             sscanf(rest, "%x%n", &byte, &used) == 1) {
        script.read_data[script.read_size++] = (unsigned char)byte;
        rest += used;
      }
    }
  }
  fclose(in);
}

static long long now_us(void) {
#ifdef _WIN32
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return count.QuadPart / frequency.QuadPart * 1000000LL +
         count.QuadPart % frequency.QuadPart * 1000000LL / frequency.QuadPart;
#else
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000LL + t.tv_nsec / 1000;
#endif
}

/* One line per call: the time, the function, then what it was given. */
static void log_call(const char *format, ...)
    __attribute__((format(printf, 1, 2)));
static void log_call(const char *format, ...) {
  static FILE *log;
  static int opened;
  if (!opened) {
    opened = 1;
    const char *path = getenv("FAKE_HIDAPI_LOG");
    log = path != NULL ? fopen(path, "w") : NULL;
  }
  if (log == NULL) {
    return;
  }
  fprintf(log, "%lld ", now_us());
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  fflush(log);
}

/* Any non-null pointer serves as the handle; the library is never asked to
 * tell two devices apart. */
static int handle_storage;
#define THE_HANDLE ((hid_device *)&handle_storage)

static const char *which(const hid_device *dev) {
  return dev == THE_HANDLE ? "handle" : "other";
}

static void log_report(const char *call, const hid_device *dev,
                       const unsigned char *data, size_t length) {
  char hex[2 * report_max + 1] = "";
  for (size_t i = 0; i < length && i < report_max; ++i) {
    snprintf(hex + 2 * i, 3, "%02x", data[i]);
  }
  log_call("%s %s %u %s", call, which(dev), (unsigned)length, hex);
}

static wchar_t *copy_text(const struct fake_text *text) {
  if (text->is_null) {
    return NULL;
  }
  const size_t size = (wcslen(text->units) + 1) * sizeof(wchar_t);
  wchar_t *copy = malloc(size);
  if (copy != NULL) {
    memcpy(copy, text->units, size);
  }
  return copy;
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

struct hid_device_info HID_API_EXPORT *
hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  load_script();
  log_call("hid_enumerate %04x %04x", vendor_id, product_id);
  struct hid_device_info *head = NULL;
  struct hid_device_info **tail = &head;
  for (int i = 0; i < script.device_count; ++i) {
    struct hid_device_info *info = calloc(1, sizeof *info);
    if (info == NULL) {
      break;
    }
    info->vendor_id = script.devices[i].vendor_id;
    info->product_id = script.devices[i].product_id;
    info->serial_number = copy_text(&script.devices[i].serial);
    info->product_string = copy_text(&script.devices[i].product);
    *tail = info;
    tail = &info->next;
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

hid_device *HID_API_EXPORT hid_open(unsigned short vendor_id,
                                    unsigned short product_id,
                                    const wchar_t *serial_number) {
  load_script();
  log_call("hid_open %04x %04x %s", vendor_id, product_id,
           serial_number != NULL ? "serial" : "null");
  return script.open_ok ? THE_HANDLE : NULL;
}

void HID_API_EXPORT hid_close(hid_device *dev) {
  log_call("hid_close %s", which(dev));
}

int HID_API_EXPORT hid_set_nonblocking(hid_device *dev, int nonblock) {
  log_call("hid_set_nonblocking %s %d", which(dev), nonblock);
  return 0;
}

int HID_API_EXPORT hid_write(hid_device *dev, const unsigned char *data,
                             size_t length) {
  log_report("hid_write", dev, data, length);
  return script.write_result;
}

int HID_API_EXPORT hid_read(hid_device *dev, unsigned char *data,
                            size_t length) {
  log_report("hid_read", dev, data, length);
  const size_t n = script.read_size < length ? script.read_size : length;
  if (n > 0) {
    memcpy(data, script.read_data, n);
  }
  return script.read_result;
}

const wchar_t HID_API_EXPORT *hid_error(hid_device *dev) {
  log_call("hid_error %s", which(dev));
  return script.error.is_null ? NULL : script.error.units;
}
