#pragma once

// The product family's error namespace. This application defines no members;
// engine failures travel as localization keys (see KalInputManager).
struct KalError {
    KalError() = delete;
};
