#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/Network.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/TextField.h"
#include "platform/ui/ViewController.h"

// Operations every screen may use on its controller.

// Styles the controller's tab item: title, Avenir-Medium 14, near-black when
// enabled and system grey when not.
// `whenDisabled` tells the person what makes a disabled tab available.
void prepareTabItem(ui::ViewController& controller, const std::string& title, bool enabled,
                    const std::string& whenDisabled = {});

// Presents an alert with these actions in order; an empty list gets one "OK".
void presentAlert(ui::ViewController& controller, std::optional<std::string> title,
                  std::optional<std::string> message, const std::vector<std::shared_ptr<ui::AlertAction>>& actions,
                  ui::AlertControllerStyle style);

// Opens the running application's rating page and logs "Tapped Rating in
// Menu"; without the application's record, the "noInternet" alert.
void rateApp(ui::ViewController& controller);

// Asks a fixed public address; on any HTTP answer runs `success` on the main
// queue, otherwise shows the "noInternet" alert whose "OK" runs `failure`.
void checkInternetConnection(ui::ViewController& controller, std::function<void()> success,
                             std::function<void()> failure = {});

// The network the internet check asks through (null: the platform's own,
// allowed to reach only the fixed address).
void setInternetCheckNetwork(std::shared_ptr<net::Network> network);
const std::string& internetCheckAddress();

// The bottom safe-area inset of the last window of the first connected
// window scene; 0 without one.
double bottomSafeAreaInset();

// A field typed on the application's own keypad: no platform keyboard, no
// autocorrection, no shortcut bar.
void prepareForKeypad(ui::TextField& field);

// A popover delegate that keeps popovers popovers on a phone.
class PopoverKeepingDelegate : public ui::PopoverPresentationControllerDelegate {
public:
    static PopoverKeepingDelegate& shared();
    ui::ModalPresentationStyle adaptivePresentationStyle() override { return ui::ModalPresentationStyle::none; }
};
