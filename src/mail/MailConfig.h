// Mail recipients and mail server settings, with their two files in ServerDir:
//   mail.cfg     the twelve recipients, one line per slot ("NULL" for an empty slot)
//   mailSrv.cfg  the six mail server items, one line per item ("NULL" for an empty item)
// Memory is the master copy: both files are read once at start-up (LoadMailConfigFiles) and
// rewritten in full by SaveMailAddrFile / SaveMailSrvFile after a change.
//
// Locking: the process-wide MailAddrTable and MailSrvSettings live in MailConfig.cpp behind one
// mutex, which also serialises the loads and saves of both files. Every operation below takes
// it itself, so each is atomic: a reader never sees a half-written address or item, and two
// saves never interleave. Callers never hold it.
//
// None of these operations writes to SrvLog. LoadMailAddrFile write their
// diagnostics to standard output (StdOutMsg).
#pragma once

#include <cstddef>
#include <cstdint>

// Recipient slots.
constexpr uint8_t MAX_MIS_SZ = 12;
// Bytes of one recipient address, terminator included (at most 127 characters).
constexpr size_t MAIL_ADDR_SIZE = 128;
// What GetMailAddr gives for an empty slot: seven blanks.
constexpr char MAIL_ADDR_EMPTY_TEXT[] = "       ";
// The text that the files hold for an empty slot or item, and that a recipient slot may hold
// to receive no mail.
constexpr char MAIL_NULL_TEXT[] = "NULL";

// Boot message files "mailBootMsg0" to "mailBootMsg15" in ServerDir, emptied at start-up.
constexpr int MAIL_BOOT_MSG_FILES = 16;

struct MailAddrSlot {
    char cMailAddr[MAIL_ADDR_SIZE];  // NUL-terminated; read only while bValid is 1
    uint8_t bValid;                  // 1 = the slot holds an address, 0 = empty
};

// The twelve recipients, indexed 0 to 11 by bIndex.
struct MailAddrTable {
    MailAddrSlot Slot[MAX_MIS_SZ];
};

// The six mail server items, in the order of the lines of mailSrv.cfg.
enum MailSrvItemNo : uint8_t {
    MAIL_SRV_ITEM1 = 0,   // the SMTP server, host or host:port (first mailer argument)
    MAIL_SRV_ITEM2 = 1,   // the sender address (second mailer argument)
    MAIL_SRV_ITEM3 = 2,   // the SMTP user, or "NULL"/empty for no AUTH (fifth mailer argument)
    MAIL_SRV_ITEM4 = 3,   // the SMTP password (sixth mailer argument)
    MAIL_SRV_ENABLE = 4,  // MailEnable: the mail switch, "TRUE" or "FALSE"
    MAIL_SRV_ITEM6 = 5,   // stored, saved and reported only
    MAIL_SRV_ITEMS = 6,
};

// Capacities in bytes (terminator included): 127 characters for items 1 and 2, 63 for the rest.
constexpr size_t MAIL_SRV_LONG_SIZE = 128;
constexpr size_t MAIL_SRV_SHORT_SIZE = 64;
// Room for any item's text and its terminator (what GetMailSrvItem callers may pass).
constexpr size_t MAIL_SRV_TEXT_BUF = MAIL_SRV_LONG_SIZE + 1;

// Each item has one byte beyond its capacity that is always NUL: a set may fill the whole
// capacity (as the item-6 request does with 64 bytes), and the text still ends inside the record
// until the next save cuts it to capacity - 1 characters.
struct MailSrvSettings {
    char MailSrvItem1[MAIL_SRV_LONG_SIZE + 1];
    char MailSrvItem2[MAIL_SRV_LONG_SIZE + 1];
    char MailSrvItem3[MAIL_SRV_SHORT_SIZE + 1];
    char MailSrvItem4[MAIL_SRV_SHORT_SIZE + 1];
    char MailEnable[MAIL_SRV_SHORT_SIZE + 1];
    char MailSrvItem6[MAIL_SRV_SHORT_SIZE + 1];
};

// The start-up load of the mail settings, in this order: LoadMailAddrFile, sets slot 11 to "NULL"
// (valid), LoadMailSrvFile, ResetBootMsgFiles. InitializeSmtp (mail/MailDispatch.h) runs it.
void LoadMailConfigFiles();

// Empties all slots, then reads mail.cfg as whitespace-separated tokens (blanks, tabs, line
// ends; a NUL byte ends a token's text): token k goes to slot k; a token containing "NULL"
// anywhere, or whose text is empty, leaves its slot empty, any other token becomes the address
// and makes the slot valid. A token longer than 127 characters is cut to 127 (its rest is
// dropped, not read as a token). A 13th token writes "bIndex >= MAX_MIS_SZ" to standard output
// and ends the reading. A missing file leaves every slot empty, without a message.
void LoadMailAddrFile();

// Clears all six items, then reads six whitespace-separated tokens from mailSrv.cfg into the
// items in order, each stored as it stands ("NULL" stays the text "NULL") and cut to the
// item's capacity - 1 characters; items without a token stay empty. A missing file leaves all
// items empty.
void LoadMailSrvFile();

// For n = 0 to 15: when ServerDir/mailBootMsg<n> exists and can be read, truncates it to zero
// bytes. Missing files are not created.
void ResetBootMsgFiles();

// Slot operations. Status: SYS_SUCCESS, or SYSFAIL_MAIL_INDEX_ERR when bIndex is 12 or more
// (then nothing changes and nothing is written).
//
// ClearMailAddr: marks the slot empty.
uint8_t ClearMailAddr(uint8_t bIndex);
// UpdateMailAddr: the text is the first `len` bytes of `addr`, up to a NUL among them. An
// empty text marks the slot empty; any other is stored (cut to 127 characters) and makes the
// slot valid. A null `addr` counts as the empty text.
uint8_t UpdateMailAddr(uint8_t bIndex, const char* addr, size_t len);
// GetMailAddr: writes the slot's address into `out` (MAIL_ADDR_SIZE bytes), or seven blanks
// when the slot is empty. On failure `out` is left alone.
uint8_t GetMailAddr(uint8_t bIndex, char out[MAIL_ADDR_SIZE]);

// Rewrites ServerDir/mail.cfg: twelve lines, the address of each valid slot or "NULL". The new
// content goes to "mail.cfg.tmp" in ServerDir, every write and the close are checked, and only
// then does it replace mail.cfg. Returns true on success; on any failure the old mail.cfg is
// left whole, the temporary file is removed and false is returned (no message).
bool SaveMailAddrFile();

// Rewrites ServerDir/mailSrv.cfg the same way (through "mailSrv.cfg.tmp"): six lines, each
// item's text or "NULL" when it is empty. Every item is first cut to its capacity - 1
// characters in memory (so a 64-byte MailSrvItem6 loses its 64th character), also when the save
// then fails.
bool SaveMailSrvFile();

// The capacity of item `item` in bytes (128 or 64), or 0 for an item number of 6 or more.
size_t MailSrvItemCapacity(uint8_t item);

// Clears the item over its whole capacity, then copies the first min(n, capacity) bytes of
// `data` in (a NUL among them ends the text). Returns SYS_SUCCESS, or SYSFAIL_MAIL_INDEX_ERR for
// an item number of 6 or more (nothing changes). A null `data` sets the empty text.
uint8_t SetMailSrvItem(uint8_t item, const char* data, size_t n);

// Copies the item's text up to its NUL into `out` (cut to cap - 1 characters, always
// terminated) and returns its length; an item number of 6 or more gives the empty text.
// `cap` of MAIL_SRV_TEXT_BUF holds any item whole.
size_t GetMailSrvItem(uint8_t item, char* out, size_t cap);

// Sets MailEnable to "TRUE" (on) or "FALSE" (off). Does not save.
void SetMailEnable(bool on);

// 1 when MailEnable is exactly "TRUE" or exactly "true", else 0 (what clients are told).
uint8_t IsMailEnabled();

// True when mail is on for dispatch: MailEnable reads exactly "TRUE" (case-sensitive).
bool MailEnableIsTrue();

// Consistent copies of the recipients and the items, taken together under the lock (either
// pointer may be null).
void SnapshotMailSettings(MailAddrTable* addrs, MailSrvSettings* srv);
