#pragma once

// Switches off an older measurement library when the program carries one.
class MSRBackwardCompatibilityUtil {
public:
    MSRBackwardCompatibilityUtil() = delete;
    // True when the older library ("ZMRMeasurement") was present and switched off.
    static bool disableZMRMeasurement();
};
