#include "platform/web/HtmlPage.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "platform/chart/ChartView.h"
#include "platform/graphics/CanvasView.h"
#include "platform/graphics/Context.h"
#include "platform/graphics/ShapeLayer.h"
#include "platform/kit/Buttons.h"
#include "platform/kit/TabsController.h"
#include "platform/math/MathLabel.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Application.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/PlayerView.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"
#include "platform/ui/ViewController.h"

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

std::string imageHtml(const ui::Image& image) {
    if (std::string lock = lockSymbol(image.name()); !lock.empty()) return lock;
    std::string glyph = iconGlyph(image.name());
    if (!glyph.empty())
        return "<span class=\"icon\" data-image=\"" + escapeHtml(image.name()) + "\">" + glyph + "</span>";
    return "<span class=\"placeholder\" data-image=\"" + escapeHtml(image.name()) + "\">" +
           escapeHtml(image.name()) + "</span>";
}

class Writer {
  public:
    explicit Writer(std::string& out) : out_(out) {}
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
            if (auto image = button->image()) content += imageHtml(*image);
            if (!button->title().empty()) content += "<span>" + escapeHtml(button->title()) + "</span>";
            children = false;
        } else if (auto* image = dynamic_cast<ui::ImageView*>(&view)) {
            kind = "image";
            if (image->image()) content = imageHtml(*image->image());
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
                "\" style=\"width:" + number(std::max(size.width, scroll.frame().width())) +
                "px;height:" + number(size.height) + "px\">";
    }

    // Every row of the table: the table makes cells only for the rows on its
    // screen, so it is walked a screenful at a time and put back as it was.
    void tableRows(ui::TableView& table, ui::Point at) {
        const ui::Point saved = table.contentOffset();
        ui::Point content{at.x - saved.x, at.y - saved.y};
        table.visibleCells();
        openScroll(table);
        const double viewport = table.frame().height() > 0 ? table.frame().height() : ui::Screen::bounds().height();
        std::set<ui::IndexPath> rowsDone;
        std::set<int64_t> headersDone;
        std::set<const ui::View*> othersDone;
        for (double y = 0;; y += viewport) {
            table.setContentOffset({saved.x, y});
            auto paths = table.indexPathsForVisibleRows();
            auto cells = table.visibleCells();
            auto headers = table.visibleHeaderViews();
            std::set<const ui::View*> managed;
            for (size_t i = 0; i < cells.size(); ++i) {
                managed.insert(cells[i].get());
                if (rowsDone.insert(paths[i]).second) {
                    out_ += "<div class=\"row\" data-row=\"" + std::to_string(paths[i].section) + "." +
                            std::to_string(paths[i].row) + "\">";
                    view(*cells[i], content, true);
                    out_ += "</div>";
                }
            }
            for (const auto& [section, header] : headers) {
                managed.insert(header.get());
                if (headersDone.insert(section).second) view(*header, content, true);
            }
            for (const auto& sub : table.subviews())
                if (!managed.count(sub.get()) && othersDone.insert(sub.get()).second) view(*sub, content, true);
            if (y + viewport >= table.contentSize().height) break;
        }
        table.setContentOffset(saved);
        table.visibleCells();
        out_ += "</div>";
    }

    void collectionItems(ui::CollectionView& collection, ui::Point at) {
        const ui::Point saved = collection.contentOffset();
        ui::Point content{at.x - saved.x, at.y - saved.y};
        collection.visibleCells();
        openScroll(collection);
        const bool vertical = collection.scrollDirection() == ui::CollectionView::ScrollDirection::vertical;
        const double viewport = vertical ? collection.frame().height() : collection.frame().width();
        std::set<ui::IndexPath> done;
        for (double d = 0; viewport > 0; d += viewport) {
            collection.setContentOffset(vertical ? ui::Point{saved.x, d} : ui::Point{d, saved.y});
            auto paths = collection.indexPathsForVisibleItems();
            auto cells = collection.visibleCells();
            for (size_t i = 0; i < cells.size(); ++i)
                if (done.insert(paths[i]).second) view(*cells[i], content, true);
            ui::Size size = collection.contentSize();
            if (d + viewport >= (vertical ? size.height : size.width)) break;
        }
        collection.setContentOffset(saved);
        collection.visibleCells();
        out_ += "</div>";
    }

    std::string& out_;
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
.label.one-line span,.field span{white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.label:not(.one-line) span{white-space:pre-wrap}
.button{justify-content:center;gap:4px;cursor:pointer;white-space:nowrap}
.button.disabled{opacity:.45;cursor:default}
.button.tab.selected{box-shadow:inset 0 -2px 0 currentColor}
.field{cursor:text}
.field.focused{box-shadow:0 1px 0 0 #2196f3}
.field .error-mark{position:absolute;left:0;white-space:nowrap}
.placeholder-text{opacity:.45}
.segments{display:flex;border:1px solid currentColor;border-radius:6px;overflow:hidden;color:#2196f3}
.segment{flex:1;display:flex;align-items:center;justify-content:center;cursor:pointer;font-size:13px}
.segment.selected{background:currentColor}.segment.selected{color:#fff;background:#2196f3}
.icon{font-size:22px;line-height:1}
.placeholder{display:flex;align-items:center;justify-content:center;position:absolute;inset:0;
 border:1px dashed #999;color:#777;font-size:11px;text-align:center;overflow:hidden;background:rgba(127,127,127,.12)}
.image .placeholder{position:absolute}
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
)";

// Typesets every formula with exactly the LaTeX it holds (the element's
// text), marks refusals, and scrolls the scroll views to where the views are.
const char* kScript = R"(
(function(){
  document.querySelectorAll('.scroll-content').forEach(function(c){
    var p=c.parentElement; if(!p.offsetWidth||!p.offsetHeight) return;
    p.style.overflow='auto'; p.scrollTop=parseFloat(c.dataset.scrollTop)||0;});
  var fails=0;
  document.querySelectorAll('.tex').forEach(function(e){
    var src=e.textContent, host=e.parentElement;
    host.dataset.latex=src;
    if(typeof katex==='undefined'){host.classList.add('katex-failed');host.dataset.katexError='KaTeX is not loaded';fails++;return;}
    try{katex.render(src,e,{throwOnError:true,displayMode:host.dataset.display==='1'});host.classList.add('typeset');}
    catch(x){e.textContent=src;host.classList.add('katex-failed');host.dataset.katexError=String(x.message||x);fails++;}
  });
  document.body.dataset.katexFailures=fails;
  // For tests: each placed element's box as laid out, beside its frame.
  if(location.hash==='#measure') document.querySelectorAll('[data-frame]').forEach(function(e){
    if(!e.offsetParent){e.dataset.box='none';return;}
    var r=e.getBoundingClientRect();
    e.dataset.box=[r.left,r.top,r.width,r.height].map(function(v){return Math.round(v*100)/100;}).join(' ');});
  document.body.dataset.ready='1';
})();
)";

// The live page: a click or a key is one action for the server's Driver,
// then the page reloads; it also reloads when the screen changed by itself
// (timers, toasts), and keeps where its scroll boxes were scrolled.
const char* kLiveScript = R"(
(function(){
  var state=null;
  function scrolls(){var s={};document.querySelectorAll('.scroll-content').forEach(function(c,i){
    var p=c.parentElement;s[p.id||('#'+i)]=p.scrollTop;});return s;}
  function reload(){sessionStorage.setItem('scrolls',JSON.stringify(scrolls()));location.reload();}
  try{var kept=JSON.parse(sessionStorage.getItem('scrolls')||'{}');sessionStorage.removeItem('scrolls');
    document.querySelectorAll('.scroll-content').forEach(function(c,i){var p=c.parentElement,k=p.id||('#'+i);
      if(k in kept&&p.style.overflow==='auto')p.scrollTop=kept[k];});}catch(e){}
  var token=(document.querySelector('meta[name="calvaro-token"]')||{}).content||'';
  function send(body){fetch('/action',{method:'POST',headers:{'Content-Type':'application/x-calvaro-action',
      'X-Calvaro-Token':token},body:body})
    .then(function(r){return r.text().then(function(t){if(!r.ok)sessionStorage.setItem('lastError',t);reload();});});}
  document.body.dataset.lastError=sessionStorage.getItem('lastError')||'';sessionStorage.removeItem('lastError');
  document.addEventListener('click',function(ev){
    var seg=ev.target.closest('.segment');
    if(seg){send('tap '+seg.textContent.trim());return;}
    var el=ev.target.closest('.button,.field,.row');
    if(!el) return;
    if(el.classList.contains('row')){send('row '+el.dataset.row);return;}
    if(el.id){send('tap #'+el.id);return;}
    var t=el.textContent.trim(); if(t) send('tap '+t);
  });
  document.addEventListener('keydown',function(ev){
    if(ev.key.length===1&&!ev.ctrlKey&&!ev.metaKey&&!ev.altKey){send('type '+ev.key);ev.preventDefault();}
  });
  setInterval(function(){fetch('/state').then(function(r){return r.text();}).then(function(t){
    if(state===null)state=t;else if(t!==state)reload();});},1000);
})();
)";

std::string head(const PageOptions& options, const std::string& extraStyle) {
    std::string base = escapeHtml(options.katexBase);
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escapeHtml(options.title) +
           "</title>\n" +
           (options.live && !options.actionToken.empty()
                ? "<meta name=\"calvaro-token\" content=\"" + escapeHtml(options.actionToken) + "\">\n"
                : std::string()) +
           "<link rel=\"stylesheet\" href=\"" + base + "/katex.min.css\">\n<script src=\"" + base +
           "/katex.min.js\"></script>\n<style>" + kStyle + extraStyle + "</style></head>\n";
}

// The scripts at the end of a page: the chart library when charts were
// written, then typesetting (and the live page's).
std::string pageScripts(const PageOptions& options, bool hasCharts) {
    std::string out;
    if (hasCharts)
        out += "<script src=\"" + escapeHtml(options.chartBase) + "/chart.min.js\"></script>\n<script>" +
               chart::chartPageScript() + "</script>\n";
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
    out += std::string("<body class=\"") + (dark ? "dark" : "light") + "\" data-width=\"" + number(f.width()) +
           "\" data-height=\"" + number(f.height()) + "\">\n<div id=\"screen\" style=\"width:" + number(f.width()) +
           "px;height:" + number(f.height()) + "px;background:" + css(ui::Color::systemBackground()) +
           ";color:" + css(ui::Color::label()) + "\">";
    Writer writer(out);
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
