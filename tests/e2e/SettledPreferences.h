#pragma once

// A user who has accepted the consent, walked the tour and rated: every start
// goes straight to the Calculate screen.
inline constexpr const char* kSettledPreferences = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>isDsgvoAccepted</key><true/>
	<key>isOnboardingFinished</key><true/>
	<key>isRatingAlreadyDone</key><true/>
</dict>
</plist>
)";
