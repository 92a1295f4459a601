#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nestbox::e2e {

// What the probe printed: its "probe.KEY=VALUE" lines in order ("probe.KEY"
// alone gives an empty value). Other lines are kept apart, since nothing
// but the probe should write to the launcher's standard output.
class ProbeReport {
 public:
  explicit ProbeReport(std::string const& output);

  std::optional<std::string> Get(std::string const& key) const;
  std::vector<std::string> All(std::string const& key) const;
  bool Has(std::string const& key) const { return Get(key).has_value(); }
  // argv as the probe received it, argument 0 included.
  std::vector<std::string> Argv() const;
  // Descriptors (3 and above) that the probe found open, with their targets.
  std::vector<std::string> DescriptorTargets() const;
  std::vector<std::string> const& Foreign() const { return foreign_; }

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
  std::vector<std::string> foreign_;
};

}  // namespace nestbox::e2e
