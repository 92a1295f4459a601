#pragma once

// Failures of the launcher are exceptions. A system error's what() is the
// message, ": " and the C library's description of the errno value.

[[noreturn]] void ThrowSystemError(int errorNumber, char const* message);

// Reads errno on entry: call it right after the failing call.
[[noreturn]] void ThrowSystemError(char const* message);
