#pragma once
// How request handling reads the current preferences without knowing the core.
#include <memory>

#include "rules/preferences.h"

namespace hbt {

class CPreferencesGetter {
public:
    virtual ~CPreferencesGetter() = default;
    // The current record, shared and never changed: a change of preferences
    // replaces the whole record, so a reader never sees half of an old one.
    virtual std::shared_ptr<const Preferences> GetPreferences() = 0;
};

}  // namespace hbt
