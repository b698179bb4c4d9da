// CKTBException: a processor fault or other structured exception, turned into
// a C++ exception by the translator and caught at the plug-in's boundaries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/structured_exception.h"

class CKTBException {
 public:
  // Copies message (NUL included) into buffer of bufferSize bytes, cut to fit
  // and always NUL-terminated when bufferSize > 0. Returns 1.
  virtual int32_t GetErrorMessage(char* buffer, uint32_t bufferSize, uint32_t unused1 = 0,
                                  uint32_t unused2 = 0);
  virtual int32_t GetErrorCode();

  qrv::platform::ExceptionRecord32 exceptionRecord;
  qrv::platform::ContextRecord32 contextRecord;
  char message[512];
  int32_t code;
};

namespace qrv::fault {

// The translator: builds a CKTBException from the two records and throws it.
[[noreturn]] void TranslateStructuredException(uint32_t code,
                                               platform::ExceptionPointers* pointers);

// Writes the message for code into buffer (512 bytes): a name from the table,
// or "Error code %d" with the code as a signed number.
void FormatExceptionMessage(int32_t code, char* buffer, size_t bufferSize);

// Installs TranslateStructuredException on the calling thread (kept after
// return, as the runtime hook would be).
void InstallFaultTranslator();

// Runs body inside a fault barrier on the calling thread: a processor fault
// inside becomes onFault. Other exceptions pass.
template <typename Body>
int32_t RunGuarded(Body&& body, int32_t onFault) {
  InstallFaultTranslator();
  try {
    return body();
  } catch (CKTBException&) {
    return onFault;
  }
}

}  // namespace qrv::fault
