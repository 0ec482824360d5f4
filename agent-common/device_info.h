// Device information that the router and OTA agents put into their payloads: small files left by
// platform programs (firmware build, LTE module manager, time synchroniser), the login
// credentials of the configuration store, and the network interfaces. Every path goes through
// HBN_path(). Every text output is NUL-terminated and cut to the caller's buffer; a long line in
// a file is cut, never overflows, and does not shift the count of the lines after it.
// Stateless: any thread may call these.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hbn {

// Sizes that hold each value whole.
inline constexpr size_t kFirmwareVersionSize = 512;  // first line of build.info, up to 511 characters
inline constexpr size_t kWanAddressSize = 32;        // up to 31 characters
inline constexpr size_t kLteTextSize = 256;          // LTE version, IMEI, LTE serial: up to 255 characters

// Firmware version: the first line of "/etc/build.info" (one trailing newline, then one trailing
// carriage return removed). An empty file gives `emptyDefault`; a missing file the empty text.
// Returns the length written.
size_t readFirmwareVersion(char* dest, size_t size, const char* emptyDefault);

// LTE module version: the third line of "/var/lte0_ati.inf" (newline, then carriage return
// removed); empty when that file has fewer lines. Only when it is missing, the first line of
// "/var/lte0_ver.inf" (same trimming; empty when missing too). Returns the length written.
size_t readLteVersion(char* dest, size_t size);

// WAN address: the first line of "/var/lte0_gip.inf", at most 31 characters, trailing newline
// removed. Returns true when the file exists (then `dest` holds the line, possibly empty); false
// and the empty text when it does not, so the caller falls back to the interface's address.
bool readWanAddress(char* dest, size_t size);

// 1 when the first character of "/var/tmp/timeStatus" is '2' (clock synchronised), else 0.
int clockSynchronised();

// 1 when the web login user (182) or password (183) differs from its factory default, else 0.
int loginPasswordChanged();

// Hardware address (6 bytes) and IPv4 address (4 bytes, most significant first) of `ifname`;
// all zero when they cannot be read (failures are logged by the interface query).
void readInterfaceInfo(const char* ifname, uint8_t mac[6], uint8_t ipv4[4]);

// IMEI ("/var/lte_imei.inf") and LTE serial number ("/var/lte_sno.inf"): the first line, at
// most 255 characters, newline then carriage return removed; a missing or empty file gives the
// empty text. Return the length written.
size_t readLteImei(char* dest, size_t size);
size_t readLteSerial(char* dest, size_t size);

// Writes `version` (no line end) to "/var/pqv_version" (a temporary file renamed over it, so a
// failed write keeps the previous file). 0 written; -1 when it could not be written.
int writeBuildVersion(const char* version);

}  // namespace hbn
