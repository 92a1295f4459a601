#include "probe_report.h"

#include <sstream>

namespace nestbox::e2e {

namespace {

constexpr char PREFIX[] = "probe.";

std::string Unescaped(std::string const& value) {
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      text += value[++i] == 'n' ? '\n' : value[i];
    } else {
      text += value[i];
    }
  }
  return text;
}

}  // namespace

ProbeReport::ProbeReport(std::string const& output) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(PREFIX)) {
      foreign_.push_back(line);
      continue;
    }
    line.erase(0, sizeof PREFIX - 1);
    size_t const equals = line.find('=');
    if (equals == std::string::npos) {
      lines_.emplace_back(line, "");
    } else {
      lines_.emplace_back(line.substr(0, equals), Unescaped(line.substr(equals + 1)));
    }
  }
}

std::optional<std::string> ProbeReport::Get(std::string const& key) const {
  for (auto const& [k, v] : lines_) {
    if (k == key) return v;
  }
  return std::nullopt;
}

std::vector<std::string> ProbeReport::All(std::string const& key) const {
  std::vector<std::string> values;
  for (auto const& [k, v] : lines_) {
    if (k == key) values.push_back(v);
  }
  return values;
}

std::vector<std::string> ProbeReport::Argv() const {
  std::vector<std::string> argv;
  int const argc = std::stoi(Get("argc").value_or("0"));
  for (int i = 0; i < argc; ++i) {
    argv.push_back(Get("argv[" + std::to_string(i) + "]").value_or("<missing>"));
  }
  return argv;
}

std::vector<std::string> ProbeReport::DescriptorTargets() const {
  std::vector<std::string> targets;
  for (auto const& [k, v] : lines_) {
    if (k.starts_with("fd.")) targets.push_back(v);
  }
  return targets;
}

}  // namespace nestbox::e2e
