#pragma once

#include <exception>
#include <string>

// The launcher's only output of its own: the system log, identity
// "kolvonestbox", LOG_PID, facility LOG_USER. One instance exists, g_logger,
// opened during static initialisation and closed at exit.
class Syslogger {
 public:
  Syslogger();
  ~Syslogger();
  Syslogger(Syslogger const&) = delete;
  Syslogger& operator=(Syslogger const&) = delete;

  void LogError(char const* text);
  void LogError(std::exception const& error);
  void LogInfo(char const* text);

 private:
  // Texts go to syslog as data, never as a format: a '%' in a path stays.
  void LogImpl(int priority, char const* text);
};

extern Syslogger g_logger;

// An info entry.
void Log(std::string const& text);
