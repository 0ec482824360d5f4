// libconfigtool: turns the router settings held in the apmib store into JSON text and back,
// and writes the plain-text maintenance report. Every export is plain C so the `configtool`
// command (and anything else) can call it through the shared library.
//
// Results:
//   dump exports      0 written, -1 output file could not be opened (dumpInfo: -1 when the
//                     report path is refused, see below).
//   load exports      0 done (the error file tells whether the document was applied),
//                     -1 input missing or not JSON, -2 error file could not be opened or
//                     written, -3 a valid document could not be committed to the store (the
//                     error file holds {"setting_error":"設定を保存できませんでした"}, the
//                     store is as it was).
//   value readers     0 accepted, 1 key absent or null, -1 rejected.
#pragma once

#include <netinet/in.h>
#include <stddef.h>

#include <json-c/json.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- dumps ----
// Settings document {"setting":{...}}: one line, every value a JSON string, line feed at the end.
int configtool_dumpJsonCfg(const char* path);
// Server-settings document {"setting_server":{...}}, same form.
int configtool_dumpJsonSvr(const char* path);
// Maintenance report built by shell command lines that write to `path`. The path is placed
// into the command lines, so it must consist of letters, digits and "/._+-" only and every
// command line must fit the 2048-byte command buffer; otherwise nothing runs and -1 is returned.
int configtool_dumpInfo(const char* path);

// ---- loads ----
// Validate the whole document, and only when it is clean write it to the store and commit.
// Problems are written as an error document into `errorPath`; the file is removed when the
// document was applied.
int configtool_loadJsonCfg(const char* inputPath, const char* errorPath);
int configtool_loadJsonSvr(const char* inputPath, const char* errorPath);

// ---- building blocks of the loaders ----
// Key-name entries of the allowed-key lists: at most 31 characters and a NUL.
#define CONFIGTOOL_KEY_SIZE 32
// Called once for every key that is not allowed at its level.
typedef void (*configTool_comLoadJson_report_t)(const char* key, int group);

// Sets the process-wide write switch (off at start).
void configTool_comLoadJson_apmibSetControl(int on);
// Switch on: apmib_set(id, value) and its result. Switch off: 0, nothing written.
int configTool_comLoadJson_apmibSet(int id, void* value);
// Reports (in the object's own order) every key of `object` that equals none of the first
// `count` names. -1 if any key was reported, else 0. A non-object reports nothing and gives 0.
int configTool_comLoadJson_checkKeyList(json_object* object, int count,
                                        const char (*names)[CONFIGTOOL_KEY_SIZE],
                                        configTool_comLoadJson_report_t report, int group);
// "enabled" -> *out 1, "disabled" -> *out 0 (result 0); other text -> *out 0, -1; absent -> 1.
int configTool_comLoadJson_enableDisable(json_object* object, const char* key, unsigned char* out);
// The same with "accept" (1) and "reject" (0).
int configTool_comLoadJson_acceptReject(json_object* object, const char* key, unsigned char* out);
// IPv4 text: four dotted decimal parts, at most 15 characters. Empty text gives 0 and leaves
// *address unset. On 0 the text is copied to `text` (`textSize` bytes, NUL included).
int configTool_comLoadJson_ipaddr(json_object* object, const char* key, struct in_addr* address, char* text,
                                  size_t textSize);
// One "address/length" entry (address and length parts at most 15 characters each, length
// 0 to 32), or empty text. On 0 the text is copied to `text`.
int configTool_comLoadJson_ipaddrSubnet(json_object* object, const char* key, char* text, size_t textSize);
// Comma-separated list of entries as above: at most 511 characters and 32 entries, or empty text.
int configTool_comLoadJson_multiIpaddrSubnet(json_object* object, const char* key, char* text,
                                             size_t textSize);

// ---- debug aids (print on standard output; the loaders do not use them) ----
void configTool_comLoadJson_dumpKeys(json_object* object);
void configTool_comLoadJson_dbgApmibInit(void);
void configTool_comLoadJson_dbgApmibGet(const char* name, int id, void* out);
void configTool_comLoadJson_dbgApmibUpdate(int id);
// kind: 0 byte, 1 16-bit, 2 text, 6 IPv4 address, 7 32-bit; other kinds print the prefix only.
void configTool_comLoadJson_dbgApmibSet(const char* name, int id, const void* value, int kind);

#ifdef __cplusplus
}
#endif
