// Prompts as the platform's message boxes (MessageBoxA), for the native Windows window.
#pragma once

#include <string>
#include <vector>

#include "core/prompts.h"

namespace varnet {

class Win32Prompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override;
  void closeSessionQuestions() override;

 private:
  struct OpenQuestion {
    std::string caption;
    BoxButtons buttons;
    bool moot = false;
  };
  // The session questions on screen, innermost last. A box opened over another returns first.
  std::vector<OpenQuestion> sessionQuestions_;
};

}  // namespace varnet
