#include "cli/json_output.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace varnet {

struct JsonObject::Value {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
};

JsonObject::JsonObject() : value_(std::make_unique<Value>()) {}
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(const JsonObject& other) : value_(std::make_unique<Value>(*other.value_)) {}
JsonObject& JsonObject::operator=(const JsonObject& other) {
  if (this != &other) *value_ = *other.value_;
  return *this;
}

namespace {

template <class Value>
void Put(nlohmann::ordered_json& json, std::string_view key, Value&& value) {
  json[std::string(key)] = std::forward<Value>(value);
}

}  // namespace

JsonObject& JsonObject::set(std::string_view key, std::string_view text) {
  Put(value_->json, key, std::string(text));
  return *this;
}
JsonObject& JsonObject::set(std::string_view key, const char* text) {
  return set(key, std::string_view(text));
}
JsonObject& JsonObject::set(std::string_view key, bool value) {
  Put(value_->json, key, value);
  return *this;
}
JsonObject& JsonObject::set(std::string_view key, int64_t value) {
  Put(value_->json, key, value);
  return *this;
}
JsonObject& JsonObject::set(std::string_view key, uint64_t value) {
  Put(value_->json, key, value);
  return *this;
}
JsonObject& JsonObject::set(std::string_view key, double value) {
  Put(value_->json, key, value);
  return *this;
}
JsonObject& JsonObject::set(std::string_view key, const JsonObject& object) {
  Put(value_->json, key, object.value_->json);
  return *this;
}
JsonObject& JsonObject::set(std::string_view key, const std::vector<JsonObject>& objects) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const JsonObject& object : objects) array.push_back(object.value_->json);
  Put(value_->json, key, std::move(array));
  return *this;
}
JsonObject& JsonObject::setNull(std::string_view key) {
  Put(value_->json, key, nullptr);
  return *this;
}

std::string JsonObject::dump() const {
  return value_->json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void PrintJson(std::ostream& out, const JsonObject& object) {
  out << object.dump() << "\n";
}

double JsonSeconds(uint64_t milliseconds) {
  return static_cast<double>(milliseconds) / 1000.0;
}

}  // namespace varnet
