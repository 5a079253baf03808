// The --json output of varnet-flash's verbs: one JSON object on standard output, its keys in the
// order they were set, so that a script and a reader see the same stable layout. The JSON
// library stays inside json_output.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace varnet {

class JsonObject {
 public:
  JsonObject();
  ~JsonObject();
  JsonObject(const JsonObject& other);
  JsonObject& operator=(const JsonObject& other);

  JsonObject& set(std::string_view key, std::string_view text);
  JsonObject& set(std::string_view key, const char* text);
  JsonObject& set(std::string_view key, bool value);
  JsonObject& set(std::string_view key, int64_t value);
  JsonObject& set(std::string_view key, uint64_t value);
  JsonObject& set(std::string_view key, int32_t value) { return set(key, int64_t{value}); }
  JsonObject& set(std::string_view key, uint32_t value) { return set(key, uint64_t{value}); }
  JsonObject& set(std::string_view key, double value);
  JsonObject& set(std::string_view key, const JsonObject& object);
  JsonObject& set(std::string_view key, const std::vector<JsonObject>& objects);
  JsonObject& setNull(std::string_view key);

  // The object on one line. Text that is not UTF-8 (a file name in another encoding) has its
  // stray bytes replaced by U+FFFD rather than make the output invalid.
  std::string dump() const;

 private:
  struct Value;
  std::unique_ptr<Value> value_;
};

// Writes `object` and a line feed.
void PrintJson(std::ostream& out, const JsonObject& object);

// Milliseconds as seconds with the millisecond kept, for the *_seconds keys.
double JsonSeconds(uint64_t milliseconds);

}  // namespace varnet
