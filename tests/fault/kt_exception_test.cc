// The exception object, its message table and the translator function.
#include "fault/kt_exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Format(uint32_t code) {
  char buffer[512];
  std::memset(buffer, 'x', sizeof(buffer));
  qrv::fault::FormatExceptionMessage(static_cast<int32_t>(code), buffer, sizeof(buffer));
  return buffer;
}

TEST(FormatExceptionMessage, NamesEveryTableCode) {
  const std::pair<uint32_t, const char*> table[] = {
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
  for (const auto& [code, name] : table) {
    EXPECT_EQ(Format(code), name) << std::hex << code;
    EXPECT_LE(std::strlen(name), 34u);
  }
}

TEST(FormatExceptionMessage, OtherCodesPrintAsSignedNumbers) {
  EXPECT_EQ(Format(0xC0000001u), "Error code -1073741823");
  EXPECT_EQ(Format(0x80000000u), "Error code -2147483648");  // the longest: 22 characters
  EXPECT_EQ(Format(0u), "Error code 0");
  EXPECT_EQ(Format(0x7FFFFFFFu), "Error code 2147483647");
  // Neighbours of table codes are not mistaken for them.
  EXPECT_EQ(Format(0xC0000097u), "Error code -1073741673");
}

TEST(FormatExceptionMessage, StaysInsideASmallBuffer) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof(buffer));
  qrv::fault::FormatExceptionMessage(static_cast<int32_t>(0xC0000005u), buffer, 6);
  EXPECT_STREQ(buffer, "EXCEP");
  EXPECT_EQ(buffer[6], 'x');
}

CKTBException Translate(uint32_t recordCode, uint32_t argumentCode) {
  qrv::platform::ExceptionRecord32 record{};
  record.code = recordCode;
  record.address = 0x1234;
  record.numberParameters = 2;
  record.information[1] = 0xDEAD;
  qrv::platform::ContextRecord32 context{};
  context.eip = 0x1234;
  context.esp = 0x5678;
  qrv::platform::ExceptionPointers pointers{&record, &context};
  try {
    qrv::fault::TranslateStructuredException(argumentCode, &pointers);
  } catch (CKTBException& error) {
    return error;
  }
  ADD_FAILURE() << "the translator returned";
  return CKTBException{};
}

TEST(TranslateStructuredException, CopiesBothRecordsAndTakesTheCodeFromTheRecord) {
  // The code argument is ignored: the record's first field decides.
  CKTBException error = Translate(0xC0000094u, 0xC0000005u);
  EXPECT_EQ(error.GetErrorCode(), static_cast<int32_t>(0xC0000094u));
  EXPECT_EQ(error.code, static_cast<int32_t>(error.exceptionRecord.code));
  EXPECT_EQ(error.exceptionRecord.address, 0x1234u);
  EXPECT_EQ(error.exceptionRecord.information[1], 0xDEADu);
  EXPECT_EQ(error.contextRecord.eip, 0x1234u);
  EXPECT_EQ(error.contextRecord.esp, 0x5678u);
  EXPECT_STREQ(error.message, "EXCEPTION_INT_DIVIDE_BY_ZERO");

  CKTBException unknown = Translate(0xE06D7363u, 0);
  EXPECT_STREQ(unknown.message, "Error code -529697949");
}

TEST(CKTBException, GetErrorMessageCopiesBoundedAndTerminated) {
  CKTBException error = Translate(0xC0000025u, 0);  // the longest message
  const std::string full = "EXCEPTION_NONCONTINUABLE_EXCEPTION";

  char exact[35];
  EXPECT_EQ(error.GetErrorMessage(exact, sizeof(exact), 77, 99), 1);
  EXPECT_EQ(std::string(exact), full);

  char small[9];
  std::memset(small, 'x', sizeof(small));
  EXPECT_EQ(error.GetErrorMessage(small, 5), 1);
  EXPECT_STREQ(small, "EXCE");
  EXPECT_EQ(small[5], 'x');

  char one[2] = {'x', 'x'};
  EXPECT_EQ(error.GetErrorMessage(one, 1), 1);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(one[1], 'x');

  char untouched[2] = {'x', 'x'};
  EXPECT_EQ(error.GetErrorMessage(untouched, 0), 1);
  EXPECT_EQ(untouched[0], 'x');
  EXPECT_EQ(error.GetErrorMessage(nullptr, 100), 1);
}

TEST(CKTBException, CopyKeepsEveryField) {
  CKTBException original = Translate(0xC00000FDu, 0);
  original.contextRecord.extendedRegisters[511] = 0x5A;
  CKTBException copy = original;
  EXPECT_EQ(std::memcmp(&copy.exceptionRecord, &original.exceptionRecord,
                        sizeof(original.exceptionRecord)),
            0);
  EXPECT_EQ(copy.contextRecord.extendedRegisters[511], 0x5A);
  EXPECT_STREQ(copy.message, "EXCEPTION_STACK_OVERFLOW");
  EXPECT_EQ(copy.GetErrorCode(), original.GetErrorCode());
}

}  // namespace
