#include "telemetry/le_telemetry.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "core/le_error.h"
#include "le/le.h"

namespace le::tel {
namespace {

struct State {
  std::mutex mu;
  std::map<std::string, double> numbers;
  std::map<std::string, std::string> strings;
  // Snapshots waiting for delivery. Nothing queues them yet; the count is
  // reported so hosts can rely on the field.
  std::deque<std::string> queue;
};

State& state() {
  static State s;
  return s;
}

constexpr const char* kKnownNumbers[] = {"fps_ema", "frames_total", "session_s", "load_ms",
                                         "thermal_state"};
constexpr const char* kKnownStrings[] = {"device_model", "model_key"};

template <size_t N>
bool isKnown(const char* const (&list)[N], const std::string& key) {
  for (const char* k : list)
    if (key == k) return true;
  return false;
}

// JSON has no NaN or infinity; a non-finite metric is written as null so the
// snapshot stays parseable.
void appendNumber(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  out += buf;
}

void appendKey(std::string& out, const std::string& key) {
  out += '"';
  appendEscaped(out, key);
  out += "\":";
}

void appendStringField(std::string& out, const std::string& key, const std::string& value) {
  appendKey(out, key);
  out += '"';
  appendEscaped(out, value);
  out += '"';
}

std::string snapshotLocked(State& s) {
  struct utsname u {};
  const bool haveUname = ::uname(&u) == 0;
  struct sysinfo si {};
  const unsigned long long ram =
      ::sysinfo(&si) == 0 ? static_cast<unsigned long long>(si.totalram) * si.mem_unit : 0ull;
  auto model = s.strings.find("device_model");

  std::string out = "{";
  appendKey(out, "ts");
  out += std::to_string(static_cast<long long>(std::time(nullptr)));
  out += ',';
  appendStringField(out, "os", "linux");
  out += ',';
  appendStringField(out, "os_version", haveUname ? u.release : "");
  out += ',';
  appendStringField(out, "device_model", model == s.strings.end() ? "" : model->second);
  out += ',';
  appendStringField(out, "arch", haveUname ? u.machine : "");
  out += ',';
  appendKey(out, "cpu_cores");
  out += std::to_string(std::thread::hardware_concurrency());
  out += ',';
  appendKey(out, "ram_bytes");
  out += std::to_string(ram);
  out += ',';
  appendStringField(out, "sdk_version", LE_VERSION_STRING);
  for (const char* k : kKnownNumbers) {
    auto it = s.numbers.find(k);
    if (it == s.numbers.end()) continue;
    out += ',';
    appendKey(out, k);
    appendNumber(out, it->second);
  }
  auto mk = s.strings.find("model_key");
  if (mk != s.strings.end()) {
    out += ',';
    appendStringField(out, "model_key", mk->second);
  }
  out += ',';
  appendKey(out, "extra");
  out += '{';
  bool first = true;
  for (const auto& kv : s.numbers) {
    if (isKnown(kKnownNumbers, kv.first)) continue;
    if (!first) out += ',';
    first = false;
    appendKey(out, kv.first);
    appendNumber(out, kv.second);
  }
  for (const auto& kv : s.strings) {
    if (isKnown(kKnownStrings, kv.first)) continue;
    if (!first) out += ',';
    first = false;
    appendStringField(out, kv.first, kv.second);
  }
  out += "}}";
  return out;
}

}  // namespace

std::string validUtf8(const std::string& s) {
  static const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // Length of the sequence and the range its second byte must fall in
    // (which rules out overlong forms, surrogates and code points past
    // U+10FFFF); later bytes are plain continuation bytes.
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) len = 3, lo = 0xA0;
    else if (c == 0xED) len = 3, hi = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF) len = 3;
    else if (c == 0xF0) len = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) len = 4, hi = 0x8F;
    // A bad lead byte, or a sequence cut short, is replaced as one unit: the
    // lead and the continuation bytes that were valid so far.
    size_t good = len == 0 ? 0 : 1;
    while (good > 0 && good < len && i + good < n) {
      const unsigned char b = p[i + good];
      const bool ok = good == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok) break;
      ++good;
    }
    if (len != 0 && good == len) {
      out.append(s, i, len);
      i += len;
    } else {
      out += kReplacement;
      i += good == 0 ? 1 : good;
    }
  }
  return out;
}

void appendEscaped(std::string& out, const std::string& s) {
  for (unsigned char c : validUtf8(s)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
}

void record(const std::string& key, double value) {
  State& s = state();
  // Keys are stored as they will be written, so two keys that differ only in
  // invalid bytes are one key; and a key holds one value, number or string,
  // whichever was recorded last.
  const std::string name = validUtf8(key);
  std::lock_guard<std::mutex> lock(s.mu);
  s.strings.erase(name);
  s.numbers[name] = value;
}

void recordStr(const std::string& key, const std::string& value) {
  State& s = state();
  const std::string name = validUtf8(key);
  std::lock_guard<std::mutex> lock(s.mu);
  s.numbers.erase(name);
  s.strings[name] = value;
}

std::string snapshot_json() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return snapshotLocked(s);
}

std::string pendingJson() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return "{\"queued\":" + std::to_string(s.queue.size()) + ",\"snapshot\":" + snapshotLocked(s) +
         "}";
}

}  // namespace le::tel

extern "C" {

// Telemetry must never disturb the host: failures (out of memory) are dropped.
LE_API void le_tel_record(const char* key, double value) {
  le::capi::silent(0, [&] {
    if (key && *key) le::tel::record(key, value);
    return 0;
  });
}

LE_API void le_tel_record_str(const char* key, const char* value) {
  le::capi::silent(0, [&] {
    if (key && *key && value) le::tel::recordStr(key, value);
    return 0;
  });
}

LE_API const char* le_tel_pending_json(void) {
  thread_local std::string text;
  return le::capi::silent("{\"queued\":0,\"snapshot\":{}}", [&] {
    text = le::tel::pendingJson();
    return text.c_str();
  });
}

}  // extern "C"
