#pragma once
// How request handling reads a copy of the current preferences without
// knowing the core. CHttpTraffic names this type as its nested
// CHttpTraffic::CPreferencesGetter (a member alias), so that this library does
// not depend on the HTTP one.
#include "rules/preferences.h"

namespace hbt {

class CPreferencesGetter {
public:
    virtual ~CPreferencesGetter() = default;
    // Fills `preferences` with a copy of the current record, lists included.
    virtual void GetPreferences(Preferences& preferences) = 0;
};

}  // namespace hbt
