#include "support/syslogger.h"

#include <syslog.h>

namespace {
// openlog keeps the pointer, so the identity needs static storage.
constexpr char IDENTITY[] = "kolvonestbox";
}  // namespace

Syslogger g_logger;

Syslogger::Syslogger() { openlog(IDENTITY, LOG_PID, LOG_USER); }

Syslogger::~Syslogger() { closelog(); }

void Syslogger::LogError(char const* text) { LogImpl(LOG_ERR, text); }

void Syslogger::LogError(std::exception const& error) {
  LogImpl(LOG_ERR, error.what());
}

void Syslogger::LogInfo(char const* text) { LogImpl(LOG_INFO, text); }

void Syslogger::LogImpl(int priority, char const* text) {
  syslog(priority, "%s", text);
}

void Log(std::string const& text) { g_logger.LogInfo(text.c_str()); }
