#include "audio/unavailable_host.h"

#include <utility>
#include <vector>

namespace brindle {
namespace {

class UnavailableHost final : public AudioHost {
 public:
  UnavailableHost(std::string name, std::string error)
      : name_(std::move(name)), error_(std::move(error)) {}
  std::string name() const override { return name_; }
  std::unique_ptr<AudioDevice> default_output_device() override { return nullptr; }
  Result<std::vector<std::unique_ptr<AudioDevice>>> output_devices() override {
    return make_error(error_);
  }

 private:
  const std::string name_;
  const std::string error_;
};

}  // namespace

std::unique_ptr<AudioHost> make_unavailable_host(std::string name, std::string error) {
  return std::make_unique<UnavailableHost>(std::move(name), std::move(error));
}

}  // namespace brindle
