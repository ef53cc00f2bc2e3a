/* Crash context block: the record a game client keeps filled in its own memory and whose
 * address it registers with Windows Error Reporting as the context of the crash module.
 * After a crash the module copies the record out of the client and checks it.
 *
 * This header stands alone so that a client can include it without anything else of the
 * module. Layout: 37068 bytes, little-endian, no padding; strings are UTF-16 and end at
 * their first zero unit. The module terminates every string in its last unit, so a
 * client may leave them unterminated. Fill `size` and `version` with the constants below.
 */
#ifndef CRASH_CONTEXT_BLOCK_H
#define CRASH_CONTEXT_BLOCK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A UTF-16 code unit: char16_t in C++, a 16-bit unsigned integer in C. On Windows a
 * wchar_t text can be copied in unit for unit. */
#ifdef __cplusplus
typedef char16_t CrashContextUnit;
#else
typedef uint16_t CrashContextUnit;
#endif

#define CRASH_CONTEXT_BLOCK_SIZE 37068u
#define CRASH_CONTEXT_BLOCK_VERSION 2u

typedef struct CrashContextBlock {
  uint32_t size;             /* must be CRASH_CONTEXT_BLOCK_SIZE */
  uint32_t version;          /* must be CRASH_CONTEXT_BLOCK_VERSION */
  uint32_t developmentBuild; /* any non-zero value marks a development build */
  CrashContextUnit tag[64];          /* free-form tag for the dump name; empty for none */
  CrashContextUnit language[32];     /* game language code, e.g. "DE"; empty when unknown */
  CrashContextUnit reportText1[2048];  /* copied into the crash report as it stands */
  CrashContextUnit reportText2[16384]; /* copied into the crash report after reportText1 */
} CrashContextBlock;

#ifdef __cplusplus
}  /* extern "C" */
static_assert(sizeof(CrashContextBlock) == CRASH_CONTEXT_BLOCK_SIZE, "layout is fixed");
static_assert(offsetof(CrashContextBlock, tag) == 12, "layout is fixed");
static_assert(offsetof(CrashContextBlock, language) == 140, "layout is fixed");
static_assert(offsetof(CrashContextBlock, reportText1) == 204, "layout is fixed");
static_assert(offsetof(CrashContextBlock, reportText2) == 4300, "layout is fixed");
#else
_Static_assert(sizeof(CrashContextBlock) == CRASH_CONTEXT_BLOCK_SIZE, "layout is fixed");
#endif

#endif /* CRASH_CONTEXT_BLOCK_H */
