// The boundary between the program and the directory store it loads
// (orvanta-ldap.so). Each side links its own C++ runtime, so only C crosses
// it: plain structs, texts as pointer and length, results as ints, callbacks
// with a context pointer. No exception leaves either side's functions.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Raised whenever a struct below changes: a store built for another
// version of the program is not used.
#define ORVANTA_DIRECTORY_VERSION 4
// The one symbol the store exports.
#define ORVANTA_DIRECTORY_OPEN "orvanta_directory_open"

struct OrvantaText {
  const char* data;
  size_t size;
};

// Receives a text the callee made; it lives until the callee returns.
typedef void (*OrvantaTextSink)(void* context, OrvantaText text);

// What the program lends the store: one of each, never a copy.
struct OrvantaDirectoryHost {
  // A setting's value ("" when unset); valid for the whole run.
  const char* (*setting)(const char* name);
  int accounts;  // AccountsSetting()
  int starttls;  // YesNoSetting("LDAP_STARTTLS")
  // The change lock the tool runner holds; nonzero when held.
  int (*hold_change_lock)(void);
  // RunCommandLine with no input: the exit status.
  int (*run_command_line)(const char* line);
  // The same with ARCHIVE_TIMEOUT in place of the tools' timeout.
  int (*run_archive_line)(const char* line);
  // HashPassword: the sink gets the hash ("" when none).
  void (*hash_password)(const char* password, OrvantaTextSink sink, void* context);
  // NewHomeOf an account of that name and DIR.
  void (*new_home_of)(const char* name, const char* dir, OrvantaTextSink sink, void* context);
  // HomeRefusalNow for the home of the account `name`: the sink gets why
  // the home may not be made, archived or removed now ("" when it may).
  void (*home_refusal)(OrvantaText name, OrvantaText path, OrvantaTextSink sink, void* context);
  void (*open_up_new_home)(const char* name, const char* path);
  // Nonzero when the run may change accounts: it then reads the provider
  // (LDAP_URI) only, never LDAP_READ_URI.
  int changes;
  // KeyFileDigest of the bytes: the digest the modification form carries.
  void (*key_digest)(OrvantaText content, OrvantaTextSink sink, void* context);
};

typedef void (*OrvantaAccountVisit)(void* context, OrvantaText name, uint32_t uid, uint32_t gid,
                                    OrvantaText gecos, OrvantaText dir, OrvantaText shell);
typedef void (*OrvantaGroupVisit)(void* context, OrvantaText name, uint32_t gid,
                                  const OrvantaText* members, size_t member_count);
// The accounts an action asks about: any of the names, uids or homes.
struct OrvantaAccountQuery {
  const OrvantaText* names;
  size_t name_count;
  const uint32_t* uids;
  size_t uid_count;
  const OrvantaText* homes;
  size_t home_count;
};

// expire_days: the account's own expiry date (the saved one while the
// lock's day 1 stands), -1 for none.
typedef void (*OrvantaLockVisit)(void* context, OrvantaText name, int password_locked, int expired,
                                 long expire_days);

// A registration's fields, each a NUL-terminated text.
struct OrvantaNewAccount {
  const char* name;
  const char* password;
  const char* uid;
  const char* group;
  const char* gcos;
  const char* dir;
  const char* shell;
  const char* expire;  // "YYYY-MM-DD", "" for none
};

// A modification's ticked attributes; nullptr leaves one as it is.
struct OrvantaDirectoryChanges {
  const char* password_hash;
  const char* uid;
  const char* group;
  const char* comment;
  const char* home;
  const char* shell;
};

// An account's password ageing in days, -1 for none; expire_days as the
// lock visit has it.
struct OrvantaAgeing {
  long last_change;
  long max_days;
  long min_days;
  long warn_days;
  long inactive_days;
  long expire_days;
};

// One value of an ageing change: left as it is unless ticked; -1 takes it
// away.
struct OrvantaAgeingValue {
  int ticked;
  long days;
};
struct OrvantaAgeingChanges {
  OrvantaAgeingValue max_days;
  OrvantaAgeingValue min_days;
  OrvantaAgeingValue warn_days;
  OrvantaAgeingValue inactive_days;
  OrvantaAgeingValue expire_days;
  int force_change;
};

// One page of a list that the server sorts and cuts out (server-side
// sorting and a virtual list view): the accounts in uidNumber order, or the
// groups in gidNumber order.
struct OrvantaPageQuery {
  int groups;          // nonzero: the groups
  OrvantaText find;    // a part of the name or comment, or digits equal to the id; empty: all
  int above_only;      // nonzero: only ids above `threshold` and not reserved
  uint32_t threshold;
  size_t first;        // 0-based position of the page's first entry
  size_t count;        // at least 1
};

// The store's operations; the ints they return are DirectoryResult values.
struct OrvantaDirectoryStore {
  void (*for_each_account)(OrvantaAccountVisit visit, void* context);
  void (*for_each_group)(OrvantaGroupVisit visit, void* context);
  void (*for_each_lock_state)(OrvantaLockVisit visit, void* context);
  int (*add_user)(const OrvantaNewAccount* account);
  int (*modify_user)(const char* name, const OrvantaDirectoryChanges* changes);
  int (*lock_user)(const char* name, int lock);
  int (*change_member)(const char* group, const char* name, int add);
  // home: a HomeChoice; archive: the file HOME_ARCHIVE writes.
  int (*delete_user)(const char* name, int home, const char* archive);
  int (*add_group)(const char* name, const char* gid);
  int (*delete_group)(const char* name);
  // The accounts the query names, each once, read by equality filters.
  void (*for_each_account_of)(const OrvantaAccountQuery* query, OrvantaAccountVisit visit,
                              void* context);
  int (*read_ageing)(const char* name, OrvantaAgeing* ageing);
  int (*change_ageing)(const char* name, const OrvantaAgeingChanges* changes);
  // The page's entries to `accounts` or `groups` and nonzero, with how many
  // entries match in `total`; 0 when the server does not sort and page or
  // the search failed (the program then reads every entry).
  int (*read_page)(const OrvantaPageQuery* query, OrvantaAccountVisit accounts,
                   OrvantaGroupVisit groups, void* context, size_t* total);
  // Opens the connection the run reads on: nonzero when a server of its
  // list answered, 0 (each server that did not is a line on stderr) when
  // none did or the settings reach no directory.
  int (*reachable)(void);
  // The account's sshPublicKey values, each to the sink.
  int (*read_keys)(const char* name, OrvantaTextSink value, void* context);
  // Replaces them with `keys` (none: the attribute goes) when the values
  // the entry has now, each followed by a newline, have the digest
  // `shown_digest`; else DirectoryResult Changed and nothing is written.
  int (*write_keys)(const char* name, const OrvantaText* keys, size_t key_count,
                    const char* shown_digest);
};

// The store for this host, which must outlive it; nullptr when `version`
// is not the store's own.
typedef const OrvantaDirectoryStore* (*OrvantaDirectoryOpen)(int version,
                                                             const OrvantaDirectoryHost* host);

}  // extern "C"
