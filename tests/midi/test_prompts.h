// A Prompts that records every box instead of showing it.
#pragma once

#include <vector>

#include "core/prompts.h"

namespace varnet::testing {

class RecordingPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override {
    boxes.push_back(request);
    return request.buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
  }
  std::vector<BoxRequest> boxes;
};

}  // namespace varnet::testing
