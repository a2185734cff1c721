// SETTINGS.PND: from the moment an old unit is programmed until its
// settings are back, it records that SETTINGS.TXT is still to be restored,
// and no capture replaces SETTINGS.TXT meanwhile. A record that cannot be
// read counts as one.
#pragma once

#include <string>

#include "settings/settings_store.h"

namespace k210 {

// Whether SETTINGS.TXT holds settings still to be restored.
struct PendingRestore {
    enum class State {
        none,        // no record, or no SETTINGS.TXT left to protect
        pending,     // the record names the analyzer and when its programming began
        unreadable,  // a record is there but cannot be read: a restore may be pending
    };
    State state = State::none;
    std::string serial;  // of the analyzer whose settings SETTINGS.TXT holds
    std::string since;
    std::string reason;  // why an unreadable record could not be read
};

class PendingRecord {
  public:
    explicit PendingRecord(SettingsStore& store) : store_(store) {}
    PendingRestore state();
    // Records that SETTINGS.TXT is to be restored; a record already there stays as it is.
    [[nodiscard]] StoreResult mark();
    // Clears the record once the settings are back.
    [[nodiscard]] StoreResult clear();
    const std::string& failure_reason() const { return failure_; }

  private:
    SettingsStore& store_;
    std::string failure_;
};

}  // namespace k210
