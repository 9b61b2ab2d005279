#pragma once
// Texts that hold every sequence the message compiler or FormatMessage give a
// meaning of their own. `kyr_mcgen --probe` writes them as a message file of
// their own (kyr_mcprobe.dll, identifiers 1, 2, 3 ...), and the Windows tests
// check that FormatMessage renders each exactly as lfmMessageCatalogue::Format
// does: the escaping is proved on texts the catalogue does not hold yet.

// X(argument count, text)
#define KYR_MC_PROBE_MESSAGES(X)                                   \
  X(0, "100% sure, 50%")                                           \
  X(1, "%%s is text, %s is not")                                   \
  X(0, "%n %t %r %b %0 %1 %. %! %% %x")                            \
  X(0, "a line holding a full stop:\n.\nand the next")             \
  X(0, ".")                                                        \
  X(0, ".\n")                                                      \
  X(2, "digits and marks after a placeholder: %s5 %s!x!")          \
  X(3, "%s%s%s")                                                   \
  X(0, "trailing spaces   \n   leading spaces")                    \
  X(0, "ends with a line break\n")                                 \
  X(0, "\n\nblank lines around\n\n")                               \
  X(0, "")                                                         \
  X(0, "a\ttab")                                                   \
  X(0, "; not a comment\nMessageId=5\nLanguage=English\n.x\n..\n") \
  X(1, "%s")
