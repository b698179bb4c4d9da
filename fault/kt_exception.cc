#include "fault/kt_exception.h"

#include <cstdio>
#include <cstring>

namespace {

struct MessageEntry {
  uint32_t code;
  const char* name;
};

constexpr MessageEntry kMessages[] = {
    {0x80000002u, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003u, "EXCEPTION_BREAKPOINT"},
    {0x80000004u, "EXCEPTION_SINGLE_STEP"},
    {0xC0000005u, "EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006u, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC000001Du, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008Cu, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090u, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091u, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092u, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093u, "EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094u, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000096u, "EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FDu, "EXCEPTION_STACK_OVERFLOW"},
};

}  // namespace

// Threading: any thread; reads only the object.
int32_t CKTBException::GetErrorMessage(char* buffer, uint32_t bufferSize, uint32_t /*unused1*/,
                                       uint32_t /*unused2*/) {
  if (buffer == nullptr || bufferSize == 0) return 1;
  // The message field is NUL-terminated when built, but bound the read by its
  // size anyway; a buffer too small gets the message cut, still terminated.
  const size_t length = strnlen(message, sizeof(message) - 1);
  const size_t copied = length < bufferSize ? length : bufferSize - 1;
  std::memcpy(buffer, message, copied);
  buffer[copied] = '\0';
  return 1;
}

int32_t CKTBException::GetErrorCode() {
  return code;
}

namespace qrv::fault {

void FormatExceptionMessage(int32_t code, char* buffer, size_t bufferSize) {
  if (buffer == nullptr || bufferSize == 0) return;
  const auto key = static_cast<uint32_t>(code);
  for (const MessageEntry& entry : kMessages) {
    if (entry.code == key) {
      std::snprintf(buffer, bufferSize, "%s", entry.name);
      return;
    }
  }
  std::snprintf(buffer, bufferSize, "Error code %d", static_cast<int>(code));
}

// Threading: the faulting thread, called by the fault handler; takes no lock.
void TranslateStructuredException(uint32_t /*code*/, platform::ExceptionPointers* pointers) {
  CKTBException error;
  std::memset(&error.exceptionRecord, 0, sizeof(error.exceptionRecord));
  std::memset(&error.contextRecord, 0, sizeof(error.contextRecord));
  if (pointers != nullptr && pointers->exceptionRecord != nullptr) {
    std::memcpy(&error.exceptionRecord, pointers->exceptionRecord, sizeof(error.exceptionRecord));
  }
  if (pointers != nullptr && pointers->contextRecord != nullptr) {
    std::memcpy(&error.contextRecord, pointers->contextRecord, sizeof(error.contextRecord));
  }
  error.code = static_cast<int32_t>(error.exceptionRecord.code);
  char text[sizeof(error.message)];
  FormatExceptionMessage(error.code, text, sizeof(text));
  std::snprintf(error.message, sizeof(error.message), "%s", text);
  throw error;
}

// Threading: the calling thread; replaces its translator, never restores it.
void InstallFaultTranslator() {
  platform::SetStructuredExceptionTranslator(TranslateStructuredException);
}

}  // namespace qrv::fault
