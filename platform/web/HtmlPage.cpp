#include "platform/web/HtmlPage.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/chart/ChartView.h"
#include "platform/graphics/CanvasView.h"
#include "platform/graphics/Context.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/ShapeLayer.h"
#include "platform/kit/Buttons.h"
#include "platform/kit/TabsController.h"
#include "platform/math/MathLabel.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Application.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/PlayerView.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"
#include "platform/ui/ViewController.h"
#include "platform/web/Chromium.h"

namespace web {
namespace {

std::string number(double value) { return graphics::svgNumber(value, 2); }

std::string css(const ui::Color& color) { return graphics::cssColor(color); }

// The phone's Avenir family and system font, on the sans face Debian installs.
std::string fontCss(const ui::Font& font) {
    int weight = 400;
    const std::string& n = font.name;
    const std::string& w = font.weight;
    if (n.find("Heavy") != std::string::npos || n.find("Black") != std::string::npos || w == "heavy" ||
        w == "black")
        weight = 800;
    else if (n.find("Bold") != std::string::npos || w == "bold")
        weight = 700;
    else if (n.find("Demi") != std::string::npos || w == "semibold")
        weight = 600;
    else if (n.find("Medium") != std::string::npos || w == "medium")
        weight = 500;
    else if (n.find("Light") != std::string::npos || w == "light" || w == "thin")
        weight = 300;
    std::string style = n.find("Oblique") != std::string::npos || n.find("Italic") != std::string::npos
                            ? "font-style:italic;"
                            : "";
    return "font-size:" + number(font.size) + "px;font-weight:" + std::to_string(weight) + ";" + style;
}

std::string alignCss(ui::TextAlignment alignment) {
    switch (alignment) {
        case ui::TextAlignment::center: return "justify-content:center;text-align:center;";
        case ui::TextAlignment::right: return "justify-content:flex-end;text-align:right;";
        default: return "justify-content:flex-start;text-align:left;";
    }
}

// The kit's icons as glyphs; any other image is a labelled placeholder.
std::string iconGlyph(const std::string& name) {
    static const std::map<std::string, std::string> glyphs = {
        {"menu", "\u2630"},  {"arrowBack", "\u2190"}, {"check", "\u2713"}, {"share", "\u21EA"},
        {"edit", "\u270E"},  {"clear", "\u2715"},     {"close", "\u2715"}, {"add", "+"},
        {"moreVertical", "\u22EE"}, {"info", "\u2139"},
    };
    auto it = glyphs.find(name);
    return it == glyphs.end() ? "" : it->second;
}

// The system's lock symbols, which no installed font carries, as small drawings.
std::string lockSymbol(const std::string& name) {
    const char* shackle = name == "lock.fill" ? "M8 11V8a4 4 0 0 1 8 0v3" : name == "lock.open.fill" ? "M8 11V8a4 4 0 0 1 8 0" : nullptr;
    if (!shackle) return "";
    return "<span class=\"icon\" data-image=\"" + name +
           "\"><svg viewBox=\"0 0 24 24\" width=\"22\" height=\"22\"><path d=\"" + shackle +
           "\" fill=\"none\" stroke=\"currentColor\" stroke-width=\"2\"/><rect x=\"5\" y=\"11\" width=\"14\" "
           "height=\"10\" rx=\"2\" fill=\"currentColor\"/></svg></span>";
}

// The bundle's PNG of `name` as a data address, the sharpest drawing first
// (pages are looked at on screens of 1 to 3 pixels a point and made into
// pictures at 2 and 3); empty when the bundle has no such image. A page
// written to a file and the live page alike carry their pictures this way.
std::string bundleImageData(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::string> cache;
    const foundation::Bundle& bundle = foundation::Bundle::main();
    std::optional<std::filesystem::path> path;
    for (int scale : {3, 2, 1})
        if ((path = bundle.imagePath(name, scale))) break;
    if (!path) return "";
    std::lock_guard lock(mutex);
    auto [it, inserted] = cache.try_emplace(path->string());
    if (inserted) {
        std::string bytes;
        if (foundation::FileSystem::readFile(*path, bytes))
            it->second = "data:image/png;base64," +
                         foundation::base64Encode(foundation::Value::Bytes(bytes.begin(), bytes.end()));
    }
    return it->second;
}

std::string fitCss(ui::ContentMode mode) {
    switch (mode) {
        case ui::ContentMode::scaleToFill: return "object-fit:fill";
        case ui::ContentMode::scaleAspectFill: return "object-fit:cover";
        case ui::ContentMode::center: return "object-fit:scale-down";
        default: return "object-fit:contain";
    }
}

std::string imageHtml(const ui::Image& image, ui::ContentMode mode = ui::ContentMode::scaleAspectFit) {
    // The bundle's drawing of an icon is its shape, in the colour of the
    // control that shows it.
    const bool icon = !iconGlyph(image.name()).empty() || !lockSymbol(image.name()).empty();
    if (std::string data = icon ? bundleImageData(image.name()) : ""; !data.empty())
        return "<span class=\"icon drawn-icon\" data-image=\"" + escapeHtml(image.name()) +
               "\" style=\"-webkit-mask-image:url(" + data + ");mask-image:url(" + data + ")\"></span>";
    if (std::string lock = lockSymbol(image.name()); !lock.empty()) return lock;
    std::string glyph = iconGlyph(image.name());
    if (!glyph.empty())
        return "<span class=\"icon\" data-image=\"" + escapeHtml(image.name()) + "\">" + glyph + "</span>";
    if (std::string data = bundleImageData(image.name()); !data.empty())
        return "<img class=\"picture\" alt=\"\" data-image=\"" + escapeHtml(image.name()) + "\" style=\"" +
               fitCss(mode) + "\" src=\"" + data + "\">";
    // A name the bundle lacks: the box stays visible so that it is noticed.
    return "<span class=\"placeholder missing\" data-image=\"" + escapeHtml(image.name()) + "\">" +
           escapeHtml(image.name()) + "</span>";
}

class Writer {
  public:
    // `sharedBase`: where a live page finds the pictures the share sheet
    // saved; none for a page on the disk, which links the files themselves.
    explicit Writer(std::string& out, std::optional<std::string> sharedBase = std::nullopt)
        : out_(out), sharedBase_(std::move(sharedBase)) {}
    // Whether a chart was written: the page then loads the chart library.
    bool hasCharts() const { return hasCharts_; }

    // `origin`: the view's superview's content origin in window points.
    void view(ui::View& view, ui::Point origin, bool inScroll) {
        view.layoutIfNeeded();
        const ui::Rect& f = view.frame();
        ui::Point at{origin.x + f.x(), origin.y + f.y()};
        std::string style = "left:" + number(f.x()) + "px;top:" + number(f.y()) + "px;width:" +
                            number(f.width()) + "px;height:" + number(f.height()) + "px;";
        if (view.isHidden()) style += "display:none;";
        if (view.alpha() < 1) style += "opacity:" + number(std::max(0.0, view.alpha())) + ";";
        if (auto bg = view.backgroundColor()) style += "background:" + css(*bg) + ";";
        else if (auto lbg = view.layer().backgroundColor) style += "background:" + css(*lbg) + ";";
        const ui::Layer& layer = view.layer();
        if (layer.cornerRadius > 0) style += "border-radius:" + number(layer.cornerRadius) + "px;";
        if (layer.borderWidth > 0)
            style += "box-shadow:inset 0 0 0 " + number(layer.borderWidth) + "px " +
                     css(layer.borderColor.value_or(ui::Color::black())) + ";";
        if (view.clipsToBounds()) style += "overflow:hidden;";
        // A turned layer (the arrow of a dial) turns with its subviews about its centre.
        if (double turn = layer.presentationValue("transform.rotation.z", layer.rotation); turn != 0)
            style += "transform:rotate(" + graphics::svgNumber(turn) + "rad);";

        std::string kind = "view";
        std::string attributes;
        if (!view.accessibilityIdentifier().empty())
            attributes += " id=\"" + escapeHtml(view.accessibilityIdentifier()) + "\"";
        if (ui::ViewController* controller = view.owningController())
            attributes += " data-controller=\"" + escapeHtml(controller->className()) + "\"";
        attributes += " data-frame=\"" + number(at.x) + " " + number(at.y) + " " + number(f.width()) + " " +
                      number(f.height()) + "\"";
        if (inScroll) attributes += " data-scrolled";

        std::string content;
        bool children = true;
        auto* math = dynamic_cast<math::MathLabel*>(&view);
        if (math && math->latex().empty()) {
            kind = "math empty";
        } else if (math) {
            kind = "math";
            auto insets = math->contentInsets();
            style += "color:" + css(math->textColor()) + ";font-size:" + number(math->fontSize()) + "px;" +
                     alignCss(math->textAlignment()) + "padding:" + number(insets.top) + "px " +
                     number(insets.right) + "px " + number(insets.bottom) + "px " + number(insets.left) + "px;";
            attributes += std::string(" data-display=\"") +
                          (math->labelMode() == math::MathLabelMode::display ? "1" : "0") + "\"";
            content = "<span class=\"tex\">" + escapeHtml(math->latex()) + "</span>";
        } else if (auto* label = dynamic_cast<ui::Label*>(&view)) {
            kind = label->numberOfLines() == 1 ? "label one-line" : "label";
            if (label->numberOfLines() == 1 && label->adjustsFontSizeToFitWidth()) kind += " fit";
            style += "color:" + css(label->textColor()) + ";" + fontCss(label->font()) +
                     alignCss(label->textAlignment());
            content = "<span>" + escapeHtml(label->text()) + "</span>";
        } else if (auto* field = dynamic_cast<ui::TextField*>(&view)) {
            kind = "field";
            if (field->isFirstResponder()) kind += " focused";
            style += "color:" + css(field->textColor()) + ";" + fontCss(field->font()) +
                     alignCss(field->textAlignment());
            if (field->canShowBorder())
                style += "border-bottom:1px solid " +
                         css(field->borderColor().value_or(ui::Color::systemGray())) + ";";
            if (field->text().empty())
                content = "<span class=\"placeholder-text\">" + escapeHtml(field->placeholder()) + "</span>";
            else
                content = "<span>" + escapeHtml(field->text()) + "</span>";
            if (field->isShowingError() && !(field->isFirstResponder() && field->hideErrorWhenEditing())) {
                kind += " error";
                content += "<span class=\"error-mark\" style=\"color:" + css(field->errorTextColor()) + ";" +
                           fontCss(field->errorFont()) + "top:calc(100% + " +
                           number(field->paddingYErrorLabel()) + "px)\">" + escapeHtml(field->errorMessage()) +
                           "</span>";
            }
            children = false;
        } else if (auto* segments = dynamic_cast<ui::SegmentedControl*>(&view)) {
            kind = "segments";
            for (size_t i = 0; i < segments->numberOfSegments(); ++i) {
                bool selected = static_cast<int64_t>(i) == segments->selectedSegmentIndex();
                content += "<span class=\"segment" + std::string(selected ? " selected" : "") +
                           "\" data-segment=\"" + std::to_string(i) + "\">" +
                           escapeHtml(segments->titleForSegment(i)) + "</span>";
            }
            children = false;
        } else if (auto* button = dynamic_cast<ui::Button*>(&view)) {
            kind = dynamic_cast<kit::TabItem*>(&view) ? "button tab" : "button";
            if (button->isSelected()) kind += " selected";
            if (!button->isEnabled()) kind += " disabled";
            ui::Color color = button->titleColor().value_or(button->tintColor());
            style += "color:" + css(color) + ";" + fontCss(button->titleLabel().font());
            // The selected tab is underlined in its bar's line colour.
            if (auto* bar = dynamic_cast<kit::TabBar*>(view.superview()); bar && bar->lineColor())
                style += "--tab-line:" + css(*bar->lineColor()) + ";";
            if (auto image = button->image()) content += imageHtml(*image);
            if (!button->title().empty()) content += "<span>" + escapeHtml(button->title()) + "</span>";
            children = false;
        } else if (auto* image = dynamic_cast<ui::ImageView*>(&view)) {
            kind = "image";
            if (image->image()) content = imageHtml(*image->image(), image->contentMode());
        } else if (auto* player = dynamic_cast<ui::PlayerView*>(&view)) {
            // What the player was asked to load; nothing is fetched.
            kind = "player";
            if (auto video = player->currentVideo()) {
                attributes += " data-video=\"" + escapeHtml(video->videoId) + "\"";
                content = "<span class=\"play\">\u25B6</span><span>" + escapeHtml(video->videoId);
                if (auto start = video->playerVars.find("start"); start != video->playerVars.end())
                    content += " \u00B7 " + std::to_string(start->second) + " s";
                content += "</span>";
            }
        } else if (auto* chartView = dynamic_cast<chart::ChartView*>(&view); chartView && !chartView->optionsJson().empty()) {
            kind = "chart";
            attributes += " data-options=\"" + escapeHtml(chartView->optionsJson()) + "\"";
            hasCharts_ = true;
        } else if (auto* spinner = dynamic_cast<ui::ActivityIndicatorView*>(&view)) {
            kind = "spinner";
            if (spinner->isAnimating()) content = "<span class=\"spin\"></span>";
        }

        // An alert dims the screen under a panel with its title and message;
        // its actions are the buttons laid out in the panel.
        if (auto* alert = dynamic_cast<ui::AlertController*>(view.owningController());
            alert && &view == alert->view().get()) {
            style += "background:rgba(0,0,0,0.4);";
            const ui::Rect p = alert->panelFrame();
            content += "<div class=\"alert-panel\" style=\"left:" + number(p.x() - f.x()) + "px;top:" +
                       number(p.y() - f.y()) + "px;width:" + number(p.width()) + "px;height:" + number(p.height()) +
                       "px;background:" + css(ui::Color::secondarySystemBackground()) + ";color:" +
                       css(ui::Color::label()) + "\">";
            if (alert->alertTitle())
                content += "<div class=\"alert-title\">" + escapeHtml(*alert->alertTitle()) + "</div>";
            if (alert->message())
                content += "<div class=\"alert-message\">" + escapeHtml(*alert->message()) + "</div>";
            content += "</div>";
        }
        // The share sheet offers each saved picture as a download: the live
        // page's from the server, a page on the disk the file beside it.
        if (auto* sheet = dynamic_cast<ui::ActivityViewController*>(view.owningController());
            sheet && &view == sheet->view().get()) {
            kind += " share-sheet";
            double y = f.height() - 72;
            for (const std::string& saved : sheet->savedPaths()) {
                if (saved.empty()) continue;
                const std::string file = std::filesystem::path(saved).filename().string();
                const std::string href = sharedBase_ ? *sharedBase_ + "/" + file : Chromium::fileUrl(saved);
                content += "<a class=\"download\" download=\"" + escapeHtml(file) + "\" href=\"" + escapeHtml(href) +
                           "\" style=\"top:" + number(y) + "px\">\u2B07 " + escapeHtml(file) + "</a>";
                y -= 52;
            }
        }
        // A row in the table's editing mode shows its controls in the room its
        // content view leaves: delete (or insert) on the left, the reorder
        // handle on the right.
        if (auto* cell = dynamic_cast<ui::TableViewCell*>(&view); cell && cell->isEditing()) {
            kind += " editing";
            if (cell->editingStyle() == ui::TableViewCellEditingStyle::remove)
                content += "<span class=\"edit-control edit-delete\"><i></i></span>";
            else if (cell->editingStyle() == ui::TableViewCellEditingStyle::insert)
                content += "<span class=\"edit-control edit-insert\"><i></i></span>";
            if (cell->showsReorderControl()) content += "<span class=\"edit-control edit-move\"><i></i></span>";
        }
        // Drawn views and shape layers are SVG under the subviews.
        if (auto* canvas = dynamic_cast<graphics::CanvasView*>(&view)) {
            kind += " drawing";
            content += "<svg class=\"drawn\" width=\"" + number(f.width()) + "\" height=\"" + number(f.height()) +
                       "\" style=\"position:absolute;left:0;top:0;overflow:visible\">" +
                       canvas->drawing().svgElements() + "</svg>";
        }
        content += graphics::shapeLayersSvg(layer, f.size);
        out_ += "<div class=\"" + kind + "\"" + attributes + " style=\"" + style + "\">" + content;
        if (auto* table = dynamic_cast<ui::TableView*>(&view)) {
            tableRows(*table, at);
        } else if (auto* collection = dynamic_cast<ui::CollectionView*>(&view)) {
            collectionItems(*collection, at);
        } else if (auto* scroll = dynamic_cast<ui::ScrollView*>(&view)) {
            openScroll(*scroll);
            ui::Point content{at.x - scroll->contentOffset().x, at.y - scroll->contentOffset().y};
            for (const auto& sub : view.subviews()) this->view(*sub, content, true);
            out_ += "</div>";
        } else if (children) {
            for (const auto& sub : view.subviews()) this->view(*sub, at, inScroll);
        }
        out_ += "</div>";
    }

  private:
    void openScroll(ui::ScrollView& scroll, double contentHeight = -1) {
        ui::Size size = scroll.contentSize();
        if (contentHeight >= 0) size.height = contentHeight;
        // The page opens scrolled where the view is (data-scroll-top, set on load).
        out_ += "<div class=\"scroll-content\" data-scroll-top=\"" + number(scroll.contentOffset().y) +
                "\" data-scroll-left=\"" + number(scroll.contentOffset().x) + "\" style=\"width:" + number(std::max(size.width, scroll.frame().width())) +
                "px;height:" + number(size.height) + "px\">";
    }

    // Every row of the table, those off the screen too, without changing
    // what the screen shows: drawing a screen is only reading it.
    void tableRows(ui::TableView& table, ui::Point at) {
        const ui::Point saved = table.contentOffset();
        ui::Point content{at.x - saved.x, at.y - saved.y};
        table.visibleCells();
        openScroll(table);
        std::set<const ui::View*> drawn;
        table.forEachCellToDraw([&](const ui::IndexPath& path, ui::TableViewCell& cell) {
            drawn.insert(&cell);
            out_ += "<div class=\"row\" data-row=\"" + std::to_string(path.section) + "." +
                    std::to_string(path.row) + "\">";
            view(cell, content, true);
            out_ += "</div>";
        });
        table.forEachHeaderToDraw([&](int64_t, ui::View& header) {
            drawn.insert(&header);
            view(header, content, true);
        });
        // What else the table holds: its own header and footer views.
        for (const auto& sub : std::vector<std::shared_ptr<ui::View>>(table.subviews()))
            if (!drawn.count(sub.get()) && !dynamic_cast<ui::TableViewCell*>(sub.get())) view(*sub, content, true);
        out_ += "</div>";
    }

    void collectionItems(ui::CollectionView& collection, ui::Point at) {
        const ui::Point saved = collection.contentOffset();
        ui::Point content{at.x - saved.x, at.y - saved.y};
        collection.visibleCells();
        openScroll(collection);
        collection.forEachCellToDraw(
            [&](const ui::IndexPath&, ui::CollectionViewCell& cell) { view(cell, content, true); });
        out_ += "</div>";
    }

    std::string& out_;
    std::optional<std::string> sharedBase_;
    bool hasCharts_ = false;
};

const char* kStyle = R"(
*{box-sizing:border-box}
html,body{margin:0;padding:0}
body{font-family:"DejaVu Sans","Liberation Sans",sans-serif;background:#888}
body.dark{background:#222}
#screen{position:relative;overflow:hidden}
#screen div{position:absolute}
#screen div.scroll-content{position:relative}
.label,.field,.button,.math{display:flex;align-items:center}
.label span,.field span{min-width:0}
.label.one-line span,.field span{overflow:hidden;text-overflow:ellipsis}
.field span{white-space:nowrap}
/* A label shows its text with the blanks it has ("  Calvaro  ", "Step 1    ..."). */
.label.one-line span{white-space:pre}
.label:not(.one-line) span{white-space:pre-wrap}
/* As on the phone, a label (a toast among them) takes no touches: a click
   on it reaches what lies under it, a key under a toast included. */
.label{pointer-events:none}
.button{justify-content:center;gap:4px;cursor:pointer;white-space:nowrap}
.button.disabled{opacity:.45;cursor:default}
.button.tab.selected{box-shadow:inset 0 -2px 0 var(--tab-line,currentColor)}
.field{cursor:text}
.field.focused{box-shadow:0 1px 0 0 #2196f3}
.field .error-mark{position:absolute;left:0;white-space:nowrap}
.placeholder-text{opacity:.45}
.segments{display:flex;border:1px solid currentColor;border-radius:6px;overflow:hidden;color:#2196f3}
.segment{flex:1;display:flex;align-items:center;justify-content:center;cursor:pointer;font-size:13px}
.segment.selected{background:currentColor}.segment.selected{color:#fff;background:#2196f3}
.icon{font-size:22px;line-height:1}
.drawn-icon{display:inline-block;width:24px;height:24px;background:currentColor;-webkit-mask-size:contain;mask-size:contain;
 -webkit-mask-repeat:no-repeat;mask-repeat:no-repeat;-webkit-mask-position:center;mask-position:center}
.placeholder{display:flex;align-items:center;justify-content:center;position:absolute;inset:0;
 border:1px dashed #999;color:#777;font-size:11px;text-align:center;overflow:hidden;background:rgba(127,127,127,.12)}
.image .placeholder{position:absolute}
.image img.picture{position:absolute;left:0;top:0;width:100%;height:100%}
.button img.picture{width:24px;height:24px}
.button .placeholder{position:static;min-width:24px;min-height:24px;padding:2px}
.scroll-content{left:0;top:0}
[data-scrolled]{}
.player{display:flex;flex-direction:column;align-items:center;justify-content:center;gap:6px;
 background:#111;color:#eee;font-size:13px;border-radius:6px}
.player .play{font-size:40px;line-height:1}
.spin{display:block;width:28px;height:28px;border:3px solid #bbb;border-top-color:#2196f3;border-radius:50%;margin:auto}
.math{overflow-x:auto;overflow-y:hidden;white-space:nowrap}
.math .katex-error,.math.katex-failed .tex{color:#d00}
#screen div.scroll{overflow:auto}
#screen .alert-panel{border-radius:14px;padding:20px 16px 0;text-align:center}
#screen .alert-panel div{position:static}
.alert-title{font-size:17px;font-weight:600;margin-bottom:4px}
.alert-message{font-size:13px;line-height:18px}
#refusal{position:absolute;left:0;top:0;box-sizing:border-box;padding:3px 8px;border-radius:10px;
 background:rgba(30,30,30,.92);color:#fff;font-size:14px;line-height:17px;z-index:10;display:none;
 white-space:pre-wrap;text-align:center;align-items:center;justify-content:center;pointer-events:none}
#refusal.shown{display:flex}
.edit-control{position:absolute;top:0;bottom:0;width:40px;display:flex;align-items:center;justify-content:center;z-index:1}
.edit-delete,.edit-insert{left:0;cursor:pointer}.edit-move{right:0;cursor:grab;touch-action:none}
.edit-delete i,.edit-insert i{display:block;position:relative;width:22px;height:22px;border-radius:50%;background:#ff3b30}
.edit-insert i{background:#34c759}
.edit-delete i::after,.edit-insert i::after{content:"";position:absolute;left:5px;right:5px;top:10px;height:2px;background:#fff}
.edit-insert i::before{content:"";position:absolute;top:5px;bottom:5px;left:10px;width:2px;background:#fff}
.edit-move i{display:block;width:20px;height:12px;box-sizing:border-box;border-top:2px solid #8e8e93;border-bottom:2px solid #8e8e93;
 background:linear-gradient(#8e8e93,#8e8e93) center/100% 2px no-repeat}
.row.dragged{opacity:.6}
#screen a.download{position:absolute;left:16px;right:16px;height:44px;display:flex;align-items:center;
 justify-content:center;border-radius:10px;background:#2196f3;color:#fff;text-decoration:none;font-size:15px}
)";

// Typesets every formula with exactly the LaTeX it holds (the element's
// text), marks refusals, and scrolls the scroll views to where the views are.
// The live page runs it again whenever it puts in a newer screen.
const char* kScript = R"(
window.calvaroTypeset=function(){
  // A one-line label that shrinks its font to fit does so here, where its
  // text is measured.
  document.querySelectorAll('.label.fit span').forEach(function(e){
    for(var i=0;i<4&&e.clientWidth>0&&e.scrollWidth>e.clientWidth;i++)
      e.style.fontSize=(parseFloat(getComputedStyle(e).fontSize)*e.clientWidth/e.scrollWidth*0.98)+'px';});
  document.querySelectorAll('.scroll-content').forEach(function(c){
    var p=c.parentElement; if(!p.offsetWidth||!p.offsetHeight) return;
    p.style.overflow='auto'; p.scrollTop=parseFloat(c.dataset.scrollTop)||0; p.scrollLeft=parseFloat(c.dataset.scrollLeft)||0;});
  var fails=0;
  document.querySelectorAll('.tex').forEach(function(e){
    var src=e.textContent, host=e.parentElement;
    host.dataset.latex=src;
    if(typeof katex==='undefined'){host.classList.add('katex-failed');host.dataset.katexError='KaTeX is not loaded';fails++;return;}
    try{katex.render(src,e,{throwOnError:true,colorIsTextColor:true,displayMode:host.dataset.display==='1'});host.classList.add('typeset');}
    catch(x){e.textContent=src;host.classList.add('katex-failed');host.dataset.katexError=String(x.message||x);fails++;}
  });
  document.body.dataset.katexFailures=fails;
  // For tests: each placed element's box as laid out, beside its frame.
  if(location.hash==='#measure') document.querySelectorAll('[data-frame]').forEach(function(e){
    if(!e.offsetParent){e.dataset.box='none';return;}
    var r=e.getBoundingClientRect();
    e.dataset.box=[r.left,r.top,r.width,r.height].map(function(v){return Math.round(v*100)/100;}).join(' ');});
  document.body.dataset.ready='1';
};
calvaroTypeset();
)";

// The live page. Every click, key and scroll is one action line for the
// server's Driver; actions go one at a time, in the order they were made
// (keys typed meanwhile go together as one "type"), so none is lost however
// fast the user types. After the last one the page fetches the newer screen
// and puts it in place without reloading, so that nothing typed during a
// reload can fall between two pages. A refused action shows its reason for
// three seconds. The phone's screen fills the browser's width; on a screen
// wider than tall (a laptop) all of it shows.
const char* kLiveScript = R"(
(function(){
  var queue=[],busy=false,state=null,generation=0,refusalTimer=null;
  // The server's secret for this start goes with every request of the page
  // and nowhere else (a cookie of 127.0.0.1 would go to every port of it);
  // it leaves the address it came in at once.
  function pageSecret(doc){return (doc.querySelector('meta[name="calvaro-secret"]')||{}).content||'';}
  var secret=pageSecret(document);
  function withSecret(headers){headers=headers||{}; headers['X-Calvaro-Secret']=secret; return headers;}
  if(location.search) history.replaceState(null,'',location.pathname+location.hash);
  // The server takes actions only of this type and with the token it gave
  // this page; a page of another site can send neither.
  function pageToken(doc){return (doc.querySelector('meta[name="calvaro-token"]')||{}).content||'';}
  var token=pageToken(document);
  // The state the shown screen was made in, as /state tells it.
  function pageState(doc){var m=doc.querySelector('meta[name="calvaro-state"]'); return m?m.content+'\n':null;}
  state=pageState(document);
  var body=document.body, W=parseFloat(body.dataset.width)||390, H=parseFloat(body.dataset.height)||844;
  var refusal=document.createElement('div'); refusal.id='refusal'; body.appendChild(refusal);
  function fit(){
    var s=document.getElementById('screen'); if(!s) return;
    var w=document.documentElement.clientWidth||window.innerWidth, h=window.innerHeight;
    var k=w/W; if(w>h) k=Math.min(k,h/H);
    s.style.transformOrigin='0 0'; s.style.transform='scale('+k+')';
    s.style.marginLeft=Math.max(0,(w-W*k)/2)+'px';
    body.style.height=Math.ceil(H*k)+'px'; body.style.overflowX='hidden';
    body.dataset.scale=k;
    // A refusal sits where the application's own toast sits: 120 points
    // above the screen's bottom, 90% of its width, 40 points high; like the
    // toast it takes no touches.
    var r=s.getBoundingClientRect();
    refusal.style.left=(r.left+window.scrollX+0.05*W*k)+'px';
    refusal.style.top=(r.top+window.scrollY+(H-120)*k)+'px';
    refusal.style.width=(0.9*W*k)+'px'; refusal.style.minHeight=(40*k)+'px';
    refusal.style.fontSize=(14*k)+'px'; refusal.style.lineHeight=(17*k)+'px';
    refusal.style.borderRadius=(10*k)+'px';
  }
  window.addEventListener('resize',fit);
  function refuse(text){
    text=String(text).trim(); body.dataset.lastError=text;
    refusal.textContent=text; refusal.className='shown'; fit();
    clearTimeout(refusalTimer); refusalTimer=setTimeout(function(){refusal.className='';},3000);
  }
  function refresh(){
    var mine=++generation;
    fetch('/',{cache:'no-store',headers:withSecret()}).then(function(r){return r.text();}).then(function(html){
      if(mine!==generation) return;
      var doc=new DOMParser().parseFromString(html,'text/html');
      var fresh=doc.getElementById('screen'), old=document.getElementById('screen');
      if(!fresh||!old){location.replace('/?secret='+encodeURIComponent(secret));return;}
      token=pageToken(doc)||token;
      body.className=doc.body.className;
      old.replaceWith(document.importNode(fresh,true));
      fit(); calvaroTypeset(); if(window.calvaroCharts) calvaroCharts();
      state=pageState(doc); body.dataset.refreshed=String((parseInt(body.dataset.refreshed)||0)+1);
    }).catch(function(){});
  }
  function pump(){
    if(busy||!queue.length) return;
    var line=queue.shift();
    if(line.indexOf('type ')===0) while(queue.length&&queue[0].indexOf('type ')===0) line+=queue.shift().slice(5);
    busy=true; body.dataset.busy='1';
    fetch('/action',{method:'POST',headers:withSecret({'Content-Type':'application/x-calvaro-action','X-Calvaro-Token':token}),body:line})
      .then(function(r){return r.text().then(function(t){if(!r.ok) refuse(t);});},function(e){refuse(body.dataset.unreachable||e);})
      .then(function(){busy=false; if(queue.length) pump(); else {body.dataset.busy=''; refresh();}});
  }
  function send(line,replacing){
    if(replacing) queue=queue.filter(function(q){return q.indexOf(replacing)!==0;});
    queue.push(line); pump();
  }
  window.calvaroSend=send;
  document.addEventListener('click',function(ev){
    var seg=ev.target.closest('.segment');
    if(seg){send('tap '+seg.textContent.trim());return;}
    var control=ev.target.closest('.edit-control');
    if(control){
      var of=control.closest('.row');
      if(of&&control.classList.contains('edit-delete')) send('delete '+of.dataset.row);
      return;
    }
    var el=ev.target.closest('.button,.field,.row');
    if(!el) return;
    if(el.classList.contains('row')){
      // A row in editing mode is moved or deleted by its controls, not chosen.
      if(!el.querySelector(':scope > .editing')) send('row '+el.dataset.row);
      return;
    }
    if(el.id){send('tap #'+el.id);return;}
    var t=el.textContent.trim(); if(t) send('tap '+t);
  });
  // A row's reorder handle is dragged onto the row whose place it takes.
  var dragged=null;
  document.addEventListener('pointerdown',function(ev){
    var handle=ev.target.closest&&ev.target.closest('.edit-move'); if(!handle) return;
    dragged=handle.closest('.row'); if(!dragged) return;
    dragged.classList.add('dragged'); ev.preventDefault();
  });
  document.addEventListener('pointerup',function(ev){
    if(!dragged) return;
    var from=dragged; dragged=null; from.classList.remove('dragged');
    var under=document.elementFromPoint(ev.clientX,ev.clientY), to=under&&under.closest('.row');
    if(to&&to!==from&&to.parentElement===from.parentElement) send('move '+from.dataset.row+' '+to.dataset.row);
  });
  document.addEventListener('keydown',function(ev){
    if(ev.ctrlKey||ev.metaKey||ev.altKey) return;
    if(ev.key.length===1&&ev.key.trim()){send('type '+ev.key);ev.preventDefault();}
    else if(ev.key==='Backspace'&&document.getElementById('deleteButton')){send('tap #deleteButton');ev.preventDefault();}
  });
  // Where the user scrolled a box that has a name goes back to its view, so
  // that the rows it shows are there to be tapped.
  var scrollTimers={};
  document.addEventListener('scroll',function(ev){
    var box=ev.target; if(!box||!box.id||!box.querySelector) return;
    var c=box.firstElementChild; if(!c||!c.classList.contains('scroll-content')) return;
    var sideways=box.scrollWidth>box.clientWidth+1&&box.scrollHeight<=box.clientHeight+1;
    clearTimeout(scrollTimers[box.id]);
    scrollTimers[box.id]=setTimeout(function(){
      // A box a newer screen replaced meanwhile reads 0: nothing was scrolled.
      if(!box.isConnected) return;
      var at=Math.round(sideways?box.scrollLeft:box.scrollTop);
      var was=Math.round(parseFloat(sideways?c.dataset.scrollLeft:c.dataset.scrollTop)||0);
      if(at!==was) send('scroll #'+box.id+' '+at,'scroll #'+box.id+' ');
    },120);
  },true);
  setInterval(function(){
    if(busy||queue.length) return;
    fetch('/state',{cache:'no-store',headers:withSecret()}).then(function(r){return r.text();}).then(function(t){
      if(state===null)state=t;else if(t!==state)refresh();});},1000);
  fit();
})();
)";

std::string head(const PageOptions& options, const std::string& extraStyle) {
    std::string base = escapeHtml(options.katexBase);
    // The live page names no address of its own to any other: its
    // libraries' addresses carry the server's secret.
    const std::string live =
        options.live ? "<meta name=\"referrer\" content=\"no-referrer\">\n" +
                           (options.actionToken.empty()
                                ? std::string()
                                : "<meta name=\"calvaro-token\" content=\"" + escapeHtml(options.actionToken) + "\">\n") +
                           (options.secret.empty()
                                ? std::string()
                                : "<meta name=\"calvaro-secret\" content=\"" + escapeHtml(options.secret) + "\">\n")
                     : std::string();
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">" + live +
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>" + escapeHtml(options.title) +
           "</title>\n" +
           "<link rel=\"stylesheet\" href=\"" + base + "/katex.min.css\">\n<script src=\"" + base +
           "/katex.min.js\"></script>\n<style>" + kStyle + extraStyle + "</style></head>\n";
}

// The scripts at the end of a page: the chart library when charts were
// written, then typesetting (and the live page's).
std::string pageScripts(const PageOptions& options, bool hasCharts) {
    std::string out;
    // A live page may be given charts later, without a reload.
    if (hasCharts || options.live)
        out += "<script src=\"" + escapeHtml(options.chartBase) + "/chart.min.js\"></script>\n<script>" +
               "window.calvaroCharts=function(){" + chart::chartPageScript() + "};calvaroCharts();</script>\n";
    out += "<script>";
    out += kScript;
    if (options.live) out += kLiveScript;
    return out + "</script></body></html>\n";
}

}  // namespace

std::string escapeHtml(const std::string& text) { return graphics::escapeMarkup(text); }

std::string HtmlPage::ofWindow(ui::Window& window, const PageOptions& options) {
    window.layoutIfNeeded();
    const bool dark = ui::TraitCollection::isDark();
    const ui::Rect& f = window.frame();
    std::string out;
    out.reserve(64 * 1024);
    out += head(options, "");
    // The live page's words for a server it cannot reach, in the user's
    // language like every refusal the server sends.
    const std::string unreachable =
        options.live ? " data-unreachable=\"" +
                           escapeHtml(foundation::Bundle::main().localizedFormat(
                               "the application cannot be reached", ui::kRefusalsTable)) +
                           "\""
                     : "";
    out += std::string("<body class=\"") + (dark ? "dark" : "light") + "\" data-width=\"" + number(f.width()) +
           "\" data-height=\"" + number(f.height()) + "\"" + unreachable + ">\n<div id=\"screen\" style=\"width:" + number(f.width()) +
           "px;height:" + number(f.height()) + "px;background:" + css(ui::Color::systemBackground()) +
           ";color:" + css(ui::Color::label()) + "\">";
    Writer writer(out, options.live ? std::optional<std::string>(options.sharedBase) : std::nullopt);
    for (const auto& sub : window.subviews()) writer.view(*sub, {0, 0}, false);
    out += "</div>\n";
    return out + pageScripts(options, writer.hasCharts());
}

std::string HtmlPage::fragmentOfView(ui::View& view, const ui::Rect& rect) {
    view.layoutIfNeeded();
    std::string out = "<div class=\"cut\" style=\"left:0;top:0;width:" + number(rect.width()) + "px;height:" +
                      number(rect.height()) + "px;overflow:hidden\">";
    // The view's frame origin and the rectangle's origin both move out of the cut.
    const ui::Rect f = view.frame();
    out += "<div style=\"left:" + number(-f.x() - rect.x()) + "px;top:" + number(-f.y() - rect.y()) +
           "px;width:0;height:0\">";
    Writer writer(out);
    writer.view(view, {-f.x() - rect.x(), -f.y() - rect.y()}, false);
    out += "</div></div>";
    return out;
}

std::string HtmlPage::ofScreen(const std::string& screenHtml, ui::Size size, const PageOptions& options) {
    std::string out = head(options, "body{background:transparent}");
    out += std::string("<body class=\"") + (ui::TraitCollection::isDark() ? "dark" : "light") +
           "\" data-width=\"" + number(size.width) + "\" data-height=\"" + number(size.height) +
           "\">\n<div id=\"screen\" style=\"width:" + number(size.width) + "px;height:" + number(size.height) +
           "px;background:" + css(ui::Color::systemBackground()) + ";color:" + css(ui::Color::label()) + "\">";
    out += screenHtml;
    out += "</div>\n";
    // Fragments are the writer's: a chart among them is an element of class "chart".
    return out + pageScripts(options, screenHtml.find("class=\"chart") != std::string::npos);
}

std::string HtmlPage::ofFormulas(const std::vector<std::string>& latex, const PageOptions& options) {
    std::string out = head(options, "#screen div{position:static}.math{display:block;padding:4px}");
    out += "<body class=\"light\"><div id=\"screen\" style=\"width:800px;background:#fff\">";
    for (size_t i = 0; i < latex.size(); ++i)
        out += "<div class=\"math formula\" data-display=\"1\" data-index=\"" + std::to_string(i) +
               "\"><span class=\"tex\">" + escapeHtml(latex[i]) + "</span></div>\n";
    out += "</div><script>";
    out += kScript;
    out += "</script></body></html>\n";
    return out;
}

}  // namespace web
