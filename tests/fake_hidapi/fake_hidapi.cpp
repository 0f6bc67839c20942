// A scripted stand-in for hidapi, loaded in place of the real library to
// drive the paths that real hardware (or an emulated kernel device) cannot be
// made to take: a failing start, write or read, odd device strings.
//
// FAKE_HIDAPI_SCRIPT names a file of lines (all optional):
//   init <status>                         what hid_init returns
//   device <vid> <pid> <serial> <product> one enumeration record, in order;
//                                         ids in hex; a string is "null", "-"
//                                         (empty) or comma-separated hex
//                                         wchar_t units
//   open ok|fail                          whether hid_open returns a handle
//   write <result>                        what hid_write returns
//   error <string>                        what hid_error returns
//   read <result> [hex bytes...]          what hid_read returns and fills in
// FAKE_HIDAPI_LOG names a file that gets one line per call:
//   <microseconds> <function> [arguments]

#include <hidapi/hidapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct fake_device {
  unsigned short vendor_id = 0;
  unsigned short product_id = 0;
  std::unique_ptr<std::wstring> serial, product;
};

struct fake_script {
  int init_result = 0;
  std::vector<fake_device> devices;
  bool open_ok = true;
  int write_result = 65;
  std::unique_ptr<std::wstring> error;
  int read_result = 0;
  std::vector<unsigned char> read_data;
};

std::unique_ptr<std::wstring> parse_text(const std::string &word) {
  if (word == "null") {
    return nullptr;
  }
  auto text = std::make_unique<std::wstring>();
  if (word == "-") {
    return text;
  }
  std::stringstream units(word);
  std::string unit;
  while (std::getline(units, unit, ',')) {
    text->push_back(static_cast<wchar_t>(std::stoul(unit, nullptr, 16)));
  }
  return text;
}

const fake_script &script() {
  static const fake_script loaded = [] {
    fake_script s;
    const char *path = std::getenv("FAKE_HIDAPI_SCRIPT");
    std::ifstream in(path != nullptr ? path : "");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string key;
      words >> key;
      if (key == "init") {
        words >> s.init_result;
      } else if (key == "device") {
        fake_device d;
        std::string serial;
        std::string product;
        words >> std::hex >> d.vendor_id >> d.product_id >> serial >> product;
        d.serial = parse_text(serial);
        d.product = parse_text(product);
        s.devices.push_back(std::move(d));
      } else if (key == "open") {
        std::string how;
        words >> how;
        s.open_ok = how == "ok";
      } else if (key == "write") {
        words >> s.write_result;
      } else if (key == "error") {
        std::string text;
        words >> text;
        s.error = parse_text(text);
      } else if (key == "read") {
        words >> s.read_result;
        unsigned byte = 0;
        while (words >> std::hex >> byte) {
          s.read_data.push_back(static_cast<unsigned char>(byte));
        }
      }
    }
    return s;
  }();
  return loaded;
}

void log_call(const std::string &call) {
  static FILE *log = [] {
    const char *path = std::getenv("FAKE_HIDAPI_LOG");
    return path != nullptr ? std::fopen(path, "w") : nullptr;
  }();
  if (log == nullptr) {
    return;
  }
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const long long us =
      std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  std::fprintf(log, "%lld %s\n", us, call.c_str());
  std::fflush(log);
}

std::string hex_id(unsigned short id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", id);
  return text;
}

std::string hex_bytes(const unsigned char *data, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    text += byte;
  }
  return text;
}

wchar_t *copy_text(const std::unique_ptr<std::wstring> &text) {
  if (!text) {
    return nullptr;
  }
  auto *copy =
      static_cast<wchar_t *>(std::calloc(text->size() + 1, sizeof(wchar_t)));
  std::memcpy(copy, text->c_str(), (text->size() + 1) * sizeof(wchar_t));
  return copy;
}

// Any non-null pointer serves as the handle; the library is never asked to
// tell two devices apart.
hid_device *const the_handle = reinterpret_cast<hid_device *>(&log_call);

} // namespace

extern "C" {

int HID_API_EXPORT hid_init(void) {
  log_call("hid_init");
  return script().init_result;
}

int HID_API_EXPORT hid_exit(void) {
  log_call("hid_exit");
  return 0;
}

struct hid_device_info HID_API_EXPORT *
hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  log_call("hid_enumerate " + hex_id(vendor_id) + " " + hex_id(product_id));
  hid_device_info *head = nullptr;
  hid_device_info **tail = &head;
  for (const fake_device &d : script().devices) {
    auto *info =
        static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
    info->vendor_id = d.vendor_id;
    info->product_id = d.product_id;
    info->serial_number = copy_text(d.serial);
    info->product_string = copy_text(d.product);
    *tail = info;
    tail = &info->next;
  }
  return head;
}

void HID_API_EXPORT hid_free_enumeration(struct hid_device_info *devs) {
  log_call(std::string("hid_free_enumeration ") +
           (devs != nullptr ? "list" : "null"));
  while (devs != nullptr) {
    hid_device_info *next = devs->next;
    std::free(devs->serial_number);
    std::free(devs->product_string);
    std::free(devs);
    devs = next;
  }
}

hid_device *HID_API_EXPORT hid_open(unsigned short vendor_id,
                                    unsigned short product_id,
                                    const wchar_t *serial_number) {
  log_call("hid_open " + hex_id(vendor_id) + " " + hex_id(product_id) +
           (serial_number != nullptr ? " serial" : " null"));
  return script().open_ok ? the_handle : nullptr;
}

void HID_API_EXPORT hid_close(hid_device *dev) {
  log_call(std::string("hid_close ") +
           (dev == the_handle ? "handle" : "other"));
}

int HID_API_EXPORT hid_set_nonblocking(hid_device *dev, int nonblock) {
  log_call(std::string("hid_set_nonblocking ") +
           (dev == the_handle ? "handle " : "other ") +
           std::to_string(nonblock));
  return 0;
}

int HID_API_EXPORT hid_write(hid_device *dev, const unsigned char *data,
                             size_t length) {
  log_call(std::string("hid_write ") +
           (dev == the_handle ? "handle " : "other ") + std::to_string(length) +
           " " + hex_bytes(data, length));
  return script().write_result;
}

int HID_API_EXPORT hid_read(hid_device *dev, unsigned char *data,
                            size_t length) {
  log_call(std::string("hid_read ") +
           (dev == the_handle ? "handle " : "other ") + std::to_string(length) +
           " " + hex_bytes(data, length));
  const fake_script &s = script();
  const size_t n = s.read_data.size() < length ? s.read_data.size() : length;
  if (n > 0) {
    std::memcpy(data, s.read_data.data(), n);
  }
  return s.read_result;
}

const wchar_t HID_API_EXPORT *hid_error(hid_device *dev) {
  log_call(std::string("hid_error ") +
           (dev == the_handle ? "handle" : "other"));
  return script().error ? script().error->c_str() : nullptr;
}

} // extern "C"
