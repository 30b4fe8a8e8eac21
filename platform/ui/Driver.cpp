#include "platform/ui/Driver.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Button.h"
#include "platform/ui/TextField.h"

namespace ui {
namespace {

bool reachable(const View& view) {
    return !view.isHidden() && view.alpha() > 0 && view.isUserInteractionEnabled();
}

// Every reachable view under `root`, topmost first (later subviews lie on
// top of earlier ones). Tables and collections make their visible cells first.
void collect(View& root, std::vector<View*>& out) {
    if (!reachable(root)) return;
    if (auto* table = dynamic_cast<TableView*>(&root)) table->visibleCells();
    if (auto* collection = dynamic_cast<CollectionView*>(&root)) collection->visibleCells();
    auto subviews = root.subviews();
    for (auto it = subviews.rbegin(); it != subviews.rend(); ++it) collect(**it, out);
    out.push_back(&root);
}

template <class T>
T* findFirst(const std::vector<View*>& views, const std::function<bool(T&)>& match) {
    for (View* v : views)
        if (auto* t = dynamic_cast<T*>(v))
            if (match(*t)) return t;
    return nullptr;
}

bool isIndex(const std::string& text) {
    return !text.empty() && text.size() < 6 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::vector<std::string> utf8Characters(const std::string& text) {
    std::vector<std::string> chars;
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        chars.push_back(text.substr(i, len));
        i += len;
    }
    return chars;
}

// The person's wording of `format`, a text of the refusals' table.
std::string toldToPerson(const std::string& format, const std::vector<std::string>& arguments = {}) {
    return foundation::Bundle::main().localizedFormat(format, kRefusalsTable, arguments);
}

// What the person sees a view called: a button's title, a field's
// placeholder, a label's text; nothing for a view without words.
std::string shownName(View* view) {
    if (auto* button = dynamic_cast<Button*>(view)) return button->title();
    if (auto* field = dynamic_cast<TextField*>(view)) return field->placeholder();
    if (auto* label = dynamic_cast<Label*>(view)) return label->text();
    return {};
}

}  // namespace

Driver::Driver(Application& application) : application_(application) {}

bool Driver::fail(const std::string& format, const std::vector<std::string>& arguments, bool covered) {
    return fail(format, arguments, arguments, covered);
}

bool Driver::fail(const std::string& format, const std::vector<std::string>& arguments,
                  const std::vector<std::string>& shownArguments, bool covered) {
    lastError_ = foundation::filledFormat(format, arguments) + (covered ? coveredBy() : "");
    lastRefusal_ = toldToPerson(format, shownArguments) + (covered ? coveredForPerson() : "");
    return false;
}

// A disabled control whose application says what makes it available is
// refused to the person in those words.
bool Driver::failDisabled(const std::string& format, const std::string& target, const std::string& shown,
                          const std::string& hint) {
    fail(format, {target}, {shown});
    if (!hint.empty()) lastRefusal_ = hint;
    return false;
}

// A plain view laid over the whole window (a loading overlay) that takes
// touches: nothing under it can be reached while it shows.
static View* coveringView(Window& window) {
    const auto subviews = window.subviews();
    for (auto it = subviews.rbegin(); it != subviews.rend(); ++it) {
        View& view = **it;
        if (!reachable(view)) continue;
        if (view.owningController()) return nullptr;
        const Rect f = view.frame(), w = window.bounds();
        if (f.x() <= w.x() && f.y() <= w.y() && f.maxX() >= w.maxX() && f.maxY() >= w.maxY()) return &view;
    }
    return nullptr;
}

View* Driver::scope() const {
    Window* window = application_.keyWindow();
    if (!window) return nullptr;
    // A presented screen (an alert) lies above everything in a window of its
    // own; under it the overlay, then the window's screens.
    ViewController* top = window->topViewController();
    if (top && top != window->rootViewController().get()) return top->view().get();
    if (View* cover = coveringView(*window)) return cover;
    return window;
}

void Driver::settle() {
    if (auto* executor = dispatch::ManualExecutor::installed())
        executor->runUntilIdle();
    else
        dispatch::MainQueue::shared()->runPending();
}

void Driver::wait(double seconds, const std::function<bool()>& interrupted) {
    if (auto* executor = dispatch::ManualExecutor::installed()) {
        executor->advanceBy(std::max(0.0, seconds));
        executor->runUntilIdle();
        return;
    }
    auto main = dispatch::MainQueue::shared();
    double deadline = dispatch::Clock::uptimeNow() + std::max(0.0, seconds);
    main->runPending();
    for (double left = seconds; left > 0; left = deadline - dispatch::Clock::uptimeNow()) {
        if (interrupted && interrupted()) return;
        main->runFor(left);
    }
    main->runPending();
}

bool Driver::tap(const std::string& target) {
    View* root = scope();
    if (!root) return fail("no key window");
    std::vector<View*> views;
    collect(*root, views);

    // "#name" names an identifier only, as snapshots write it.
    const bool identifierOnly = target.size() > 1 && target[0] == '#';
    const std::string identifier = identifierOnly ? target.substr(1) : target;
    View* byId = nullptr;
    for (View* v : views)
        if (v->accessibilityIdentifier() == identifier) {
            byId = v;
            break;
        }
    // The person is told the name they see, the script the name it gave.
    auto named = [&](View* v) {
        const std::string shown = shownName(v);
        return shown.empty() ? identifier : shown;
    };
    auto activate = [&](View* v) -> bool {
        if (auto* field = dynamic_cast<TextField*>(v)) {
            if (!field->becomeFirstResponder())
                return fail("the field %@ does not take input", {target}, {named(v)});
            settle();
            return true;
        }
        if (auto* control = dynamic_cast<Control*>(v)) {
            if (!control->isEnabled()) return failDisabled("\"%@\" is disabled", target, named(v), v->accessibilityHint());
            if (control->targetCount(ControlEvent::touchUpInside) == 0)
                return fail("\"%@\" does nothing when tapped", {target}, {named(v)});
            control->sendActions(ControlEvent::touchUpInside);
            settle();
            return true;
        }
        // A cell or a view inside one: the row is chosen.
        for (View* up = v; up; up = up->superview())
            if (auto* cell = dynamic_cast<TableViewCell*>(up))
                if (auto* table = dynamic_cast<TableView*>(cell->superview()))
                    if (auto ip = table->indexPathForCell(*cell)) {
                        table->userSelectRow(*ip);
                        settle();
                        return true;
                    }
        return fail("\"%@\" cannot be tapped", {target}, {named(v)});
    };
    if (byId) return activate(byId);
    if (identifierOnly) {
        const std::string covered = coveredBy();
        if (covered.empty()) return fail("nothing on the screen has the identifier %@", {target});
        // The person tapped what they saw before something covered it: it is
        // named by its title where it has one; the script is told the
        // identifier it gave.
        std::vector<View*> everything;
        if (Window* window = application_.keyWindow()) collect(*window, everything);
        View* under = findFirst<View>(everything, [&](View& v) { return v.accessibilityIdentifier() == identifier; });
        const std::string shown = under ? shownName(under) : "";
        lastError_ = "nothing on the screen has the identifier " + target + covered;
        lastRefusal_ = (shown.empty() ? toldToPerson("this cannot be tapped now")
                                      : toldToPerson("\"%@\" cannot be tapped", {shown})) +
                       coveredForPerson();
        return false;
    }

    if (auto* button = findFirst<Button>(views, [&](Button& b) { return b.title() == target; }))
        return activate(button);
    if (auto* segments = findFirst<SegmentedControl>(views, [&](SegmentedControl& s) {
            for (size_t i = 0; i < s.numberOfSegments(); ++i)
                if (s.titleForSegment(i) == target) return true;
            return false;
        })) {
        if (!segments->isEnabled()) return fail("\"%@\" is disabled", {target});
        for (size_t i = 0; i < segments->numberOfSegments(); ++i)
            if (segments->titleForSegment(i) == target) segments->selectSegment(static_cast<int64_t>(i));
        settle();
        return true;
    }
    if (auto* field = findFirst<TextField>(views, [&](TextField& f) { return f.placeholder() == target; }))
        return activate(field);
    if (auto* label = findFirst<Label>(views, [&](Label& l) { return l.text() == target; })) {
        for (View* up = label; up; up = up->superview())
            if (dynamic_cast<TableViewCell*>(up)) return activate(label);
        return fail("\"%@\" is a label, not a control", {target});
    }
    return fail("nothing on the screen is called \"%@\"", {target}, true);
}

bool Driver::type(const std::string& text) {
    for (const std::string& ch : utf8Characters(text)) {
        View* root = scope();
        if (!root) return fail("no key window");
        std::vector<View*> views;
        collect(*root, views);
        // Keys and keyboards write into the field being edited; with none,
        // what is typed would go nowhere.
        auto* field = findFirst<TextField>(views, [](TextField& f) { return f.isFirstResponder(); });
        if (!field) return fail("no field is being edited: tap one first", {}, true);
        if (auto* key = findFirst<Button>(views, [&](Button& b) { return b.title() == ch; })) {
            if (!key->isEnabled()) return fail("the key \"%@\" is disabled", {ch});
            key->sendActions(ControlEvent::touchUpInside);
        } else {
            field->insertText(ch);
        }
        settle();
    }
    return true;
}

bool Driver::scroll(const std::string& identifier, double points) {
    View* root = scope();
    if (!root) return fail("no key window");
    const std::string name = identifier.size() > 1 && identifier[0] == '#' ? identifier.substr(1) : identifier;
    std::vector<View*> views;
    collect(*root, views);
    auto* scrollView = findFirst<ScrollView>(views, [&](ScrollView& v) { return v.accessibilityIdentifier() == name; });
    if (!scrollView) return fail("nothing on the screen that scrolls has the identifier #%@", {name}, true);
    if (!std::isfinite(points)) return fail("a scroll takes a number of points");
    const Size content = scrollView->contentSize();
    const Size frame = scrollView->frame().size;
    auto* collection = dynamic_cast<CollectionView*>(scrollView);
    const bool sideways = collection ? collection->scrollDirection() == CollectionView::ScrollDirection::horizontal
                                     : content.height <= frame.height && content.width > frame.width;
    const double limit = std::max(0.0, sideways ? content.width - frame.width : content.height - frame.height);
    const double to = std::clamp(points, 0.0, limit);
    Point offset = scrollView->contentOffset();
    (sideways ? offset.x : offset.y) = to;
    scrollView->setContentOffset(offset);
    if (auto* table = dynamic_cast<TableView*>(scrollView)) table->visibleCells();
    if (collection) collection->visibleCells();
    settle();
    return true;
}

bool Driver::chooseTab(const std::string& titleOrIndex) {
    View* root = scope();
    if (!root) return fail("no key window");
    std::vector<View*> views;
    collect(*root, views);
    for (View* v : views) {
        auto* tabs = v->owningController() ? dynamic_cast<TabContainer*>(v->owningController()) : nullptr;
        if (!tabs) continue;
        for (size_t i = 0; i < tabs->tabCount(); ++i) {
            bool match =
                isIndex(titleOrIndex) ? std::stoul(titleOrIndex) == i : tabs->tabTitle(i) == titleOrIndex;
            if (!match) continue;
            if (!tabs->tabEnabled(i))
                return failDisabled("the tab \"%@\" is disabled", titleOrIndex, tabs->tabTitle(i), tabs->tabHint(i));
            tabs->userSelectTab(i);
            settle();
            return true;
        }
        return fail("no tab \"%@\"", {titleOrIndex});
    }
    return fail("no tabs on the screen");
}

static DrawerContainer* findDrawer(View* root) {
    if (!root) return nullptr;
    std::vector<View*> views;
    collect(*root, views);
    for (View* v : views)
        if (v->owningController())
            if (auto* drawer = dynamic_cast<DrawerContainer*>(v->owningController())) return drawer;
    return nullptr;
}

bool Driver::openDrawer() { return moveDrawer(true); }

bool Driver::closeDrawer() { return moveDrawer(false); }

bool Driver::moveDrawer(bool open) {
    auto* drawer = findDrawer(scope());
    if (!drawer) return fail("no drawer on the screen", {}, true);
    if (open) {
        drawer->userOpenLeft();
    } else {
        drawer->userCloseLeft();
    }
    settle();
    return true;
}

bool Driver::answerAlert(const std::string& action) {
    Window* window = application_.keyWindow();
    auto* alert = window ? dynamic_cast<AlertController*>(window->topViewController()) : nullptr;
    if (!alert) return fail("no alert is shown", {}, true);
    const bool identifierOnly = action.size() > 1 && action[0] == '#';
    const std::string identifier = identifierOnly ? action.substr(1) : action;
    for (const auto& candidate : alert->actions()) {
        if (candidate->accessibilityIdentifier().empty() ||
            candidate->accessibilityIdentifier() != identifier)
            continue;
        if (!alert->choose(*candidate))
            return fail("the alert's action %@ is disabled", {action}, {candidate->title()});
        settle();
        return true;
    }
    if (identifierOnly || !alert->choose(action)) return fail("the alert has no action \"%@\"", {action}, {identifier});
    settle();
    return true;
}

std::string Driver::coveredForPerson() const {
    Window* window = application_.keyWindow();
    ViewController* top = window ? window->topViewController() : nullptr;
    if (!top || top == window->rootViewController().get())
        return window && coveringView(*window) ? toldToPerson(": the screen is covered while it is busy") : "";
    if (auto* alert = dynamic_cast<AlertController*>(top)) {
        if (alert->alertTitle() && !alert->alertTitle()->empty())
            return toldToPerson(": the alert \"%@\" covers the screen", {*alert->alertTitle()});
        return toldToPerson(": an alert covers the screen");
    }
    return toldToPerson(": another window covers the screen");
}

std::string Driver::coveredBy() const {
    Window* window = application_.keyWindow();
    ViewController* top = window ? window->topViewController() : nullptr;
    if (!top || top == window->rootViewController().get())
        return window && coveringView(*window) ? ": the screen is covered while it is busy" : "";
    if (auto* alert = dynamic_cast<AlertController*>(top))
        return ": the alert" + (alert->alertTitle() ? " \"" + *alert->alertTitle() + "\"" : std::string()) +
               " covers the screen";
    return ": [" + top->className() + "] covers the screen";
}

static TableView* findTable(View* root) {
    if (!root) return nullptr;
    std::vector<View*> views;
    collect(*root, views);
    for (View* v : views)
        if (auto* table = dynamic_cast<TableView*>(v)) return table;
    return nullptr;
}

bool Driver::onTable(const std::string& refusal, const std::function<bool(TableView&)>& action) {
    auto* table = findTable(scope());
    if (!table) return fail("no table on the screen");
    if (!action(*table)) return fail(refusal, {});
    settle();
    return true;
}

bool Driver::selectRow(const IndexPath& indexPath) {
    return onTable("no such row", [&](TableView& table) { return table.userSelectRow(indexPath); });
}

bool Driver::deleteRow(const IndexPath& indexPath) {
    return onTable("the row cannot be deleted",
                   [&](TableView& table) { return table.userCommitEditing(indexPath); });
}

bool Driver::moveRow(const IndexPath& from, const IndexPath& to) {
    return onTable("the row cannot be moved there",
                   [&](TableView& table) { return table.userMoveRow(from, to); });
}

}  // namespace ui
