#include "Calvaro/charts/UnitCircleChartView.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>

#include "Calvaro/charts/SolutionImageRendering.h"
#include "Calvaro/charts/palette/Palette.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Text.h"
#include "platform/graphics/CanvasView.h"
#include "platform/graphics/ShapeLayer.h"
#include "platform/ui/Traits.h"

namespace {

constexpr double pi = std::numbers::pi;
constexpr const char* animationLayerName = "animation";
constexpr double lapDuration = 1.0;
constexpr int labelFrames = 20;

// The circle picture: axes and the circle of radius 0.375 of the width.
class CirclePicture : public graphics::CanvasView {
public:
    using graphics::CanvasView::CanvasView;
    void drawRect(graphics::Context& context, const ui::Rect&) override {
        const ui::Rect b = bounds();
        const ui::Point c = b.center();
        const double r = 0.375 * b.width();
        context.setStrokeColor(ui::Color::systemGray());
        context.setLineWidth(1);
        context.strokeLine({b.minX() + 4, c.y}, {b.maxX() - 4, c.y});
        context.strokeLine({c.x, b.minY() + 4}, {c.x, b.maxY() - 4});
        context.setStrokeColor(ui::Color::label());
        context.setLineWidth(2);
        context.strokeEllipse(ui::Rect(c.x - r, c.y - r, 2 * r, 2 * r));
    }
};

// The arrow picture: from the centre to the circle along the x axis.
class ArrowPicture : public graphics::CanvasView {
public:
    using graphics::CanvasView::CanvasView;
    void drawRect(graphics::Context& context, const ui::Rect&) override {
        const ui::Rect b = bounds();
        const ui::Point c = b.center();
        const double tip = c.x + 0.375 * b.width();
        context.setStrokeColor(ui::Color::label());
        context.setFillColor(ui::Color::label());
        context.setLineWidth(3);
        context.strokeLine(c, {tip - 8, c.y});
        context.moveTo({tip, c.y});
        context.addLineTo({tip - 12, c.y - 6});
        context.addLineTo({tip - 12, c.y + 6});
        context.fillPath();
        context.fillEllipse(ui::Rect(c.x - 4, c.y - 4, 8, 8));
    }
};

std::shared_ptr<ui::Label> makeLabel(ui::View& parent, const ui::Rect& frame, const std::string& text,
                                     std::vector<std::shared_ptr<ui::Label>>& all) {
    auto label = std::make_shared<ui::Label>(frame);
    label->setText(text);
    label->setFont(ui::Font::system(14));
    label->setTextColor(ui::Color::label());
    parent.addSubview(label);
    all.push_back(label);
    return label;
}

std::string degreesText(double value, const std::string& prefix) {
    return prefix + std::to_string(std::llround(value)) + "\u00B0";
}

bool isMultiple(double value, double of) { return std::fmod(value, of) == 0; }

}  // namespace

UnitCircleChartView::UnitCircleChartView(const ui::Rect& frame) : ui::View(frame) { setUpView(); }

void UnitCircleChartView::setUpView() {
    const ui::Rect b = bounds();
    contentView = std::make_shared<ui::View>(b);
    contentView->setBackgroundColor(ui::Color::systemBackground());
    addCardShadow(contentView->layer());
    addSubview(contentView);

    // The layout: the circle on the left, the counts on the right.
    const double side = std::max(0.0, std::min(b.height(), b.width() / 2) - 16);
    const ui::Rect circle(8, (b.height() - side) / 2, side, side);
    circleImageView = std::make_shared<ui::ImageView>(circle);
    circleImageView->addSubview(std::make_shared<CirclePicture>(ui::Rect(0, 0, side, side)));
    contentView->addSubview(circleImageView);
    animationView = std::make_shared<ui::View>(circle);
    contentView->addSubview(animationView);
    arrowImageView = std::make_shared<ui::ImageView>(circle);
    arrowImageView->addSubview(std::make_shared<ArrowPicture>(ui::Rect(0, 0, side, side)));
    contentView->addSubview(arrowImageView);

    const double r = 0.375 * side, cx = circle.center().x, cy = circle.center().y;
    auto quadrant = [&](double dx, double dy, const char* name) {
        return makeLabel(*contentView, ui::Rect(cx + dx * r / 2 - 15, cy + dy * r / 2 - 10, 30, 20), name, allLabels);
    };
    q1Label = quadrant(1, -1, "I");
    q2Label = quadrant(-1, -1, "II");
    q3Label = quadrant(-1, 1, "III");
    q4Label = quadrant(1, 1, "IV");
    for (auto* q : {&q1Label, &q2Label, &q3Label, &q4Label}) (*q)->setTextAlignment(ui::TextAlignment::center);

    const double x = circle.maxX() + 16, width = std::max(0.0, b.width() - x - 8);
    const double row = std::min(26.0, std::max(0.0, b.height() - 52) / 5);
    std::shared_ptr<ui::Label>* values[] = {&alphaLabel, &gammaLabel, &fullCirclesLabel, &pXLabel, &pYLabel};
    const char* captions[] = {"\u03B1 =", "\u03B3 =", "n =", "cos =", "sin ="};
    for (int i = 0; i < 5; ++i) {
        makeLabel(*contentView, ui::Rect(x, 8 + i * row, width * 0.4, row), captions[i], allLabels);
        *values[i] = makeLabel(*contentView, ui::Rect(x + width * 0.4, 8 + i * row, width * 0.6, row), "", allLabels);
    }
    animateAgainButton = std::make_shared<kit::FlatButton>("\u21BB");
    animateAgainButton->setFrame(ui::Rect(b.width() - 52, b.height() - 44, 40, 36));
    animateAgainButton->setBackgroundColor(appPink());
    animateAgainButton->setTitleColor(ui::Color::whiteColor());
    animateAgainButton->layer().cornerRadius = 4;
    animateAgainButton->layer().shadowColor = secondaryLabelTextColor();
    animateAgainButton->layer().shadowOpacity = 0.2;
    animateAgainButton->layer().shadowOffset = {0, 1};
    animateAgainButton->layer().shadowRadius = 1.0;
    animateAgainButton->addTarget(ui::ControlEvent::touchUpInside, [](ui::Control& sender) { tappedAnimateAgain(sender); });
    contentView->addSubview(animateAgainButton);

    if (ui::TraitCollection::idiom() == ui::UserInterfaceIdiom::pad)
        for (const auto& label : allLabels) label->setFont(ui::Font::system(38.0));
}

void UnitCircleChartView::tappedAnimateAgain(ui::View& sender) {
    ui::View* above = sender.superview() ? sender.superview()->superview() : nullptr;
    if (auto* view = dynamic_cast<UnitCircleChartView*>(above)) view->startAnimation();
}

int64_t UnitCircleChartView::fullTurns() const {
    if (!unitCircleChartData || !unitCircleChartData->fullCircles) return 0;
    const int64_t turns = *unitCircleChartData->fullCircles;
    return turns == INT64_MIN ? INT64_MAX : std::abs(turns);
}

int64_t UnitCircleChartView::laps() const { return std::min(fullTurns(), maxLaps); }

void UnitCircleChartView::startAnimation() {
    if (isAnimationRunning) return;
    const auto& data = unitCircleChartData;
    // A description without its angle cannot be drawn.
    if (!data || !data->alpha || !data->b || !data->fullCircles || !std::isfinite(*data->alpha) ||
        !std::isfinite(*data->b))
        return;
    isAnimationRunning = true;
    animateAgainButton->setEnabled(false);
    animateAgainButton->setAlpha(0.5);
    auto& sublayers = animationView->layer().sublayers;
    std::erase_if(sublayers, [](const auto& layer) { return layer->name == animationLayerName; });
    animateLap(0);
}

void UnitCircleChartView::animateLap(int64_t lap) {
    const UnitCircleChartData& data = *unitCircleChartData;
    const double s = *data.b < 0 ? -1 : 1;
    const int64_t n = laps();
    if (lap == 0) {
        auto hide = [this] {
            for (auto* q : {&q1Label, &q2Label, &q3Label, &q4Label}) (*q)->setAlpha(0);
        };
        ui::View::animate(0.5, 0, ui::AnimationCurve::easeInOut, hide);
    }
    const double i = static_cast<double>(lap);
    double d = 360, D = 360 * i + 360, r = 2 * pi;
    if (lap == n) {
        d = std::fabs(*data.alpha) - 360 * i;
        D = std::fabs(*data.alpha);
        r = std::fabs(*data.b) - 2 * pi * i;
    }
    // The last lap shows the true count when the laps were capped.
    fullCirclesLabel->setText(std::to_string(static_cast<int64_t>(s) * (lap == n ? fullTurns() : lap)));
    if (d <= 0) return finishAnimation();

    animateAngleLabel(alphaLabel, 360 * i * s, s * D, lapDuration);
    animateAngleLabel(gammaLabel, 0, s * d, lapDuration);
    animateCoordinateLabel(pXLabel, s * D, false, lapDuration);
    animateCoordinateLabel(pYLabel, s * D, true, lapDuration);
    drawArc(s * r, lapDuration, lap);

    ui::Layer& arrow = arrowImageView->layer();
    auto next = [lap, n](UnitCircleChartView& view) {
        if (lap < n) view.animateLap(lap + 1);
        else view.finishAnimation();
    };
    if (isRenderingSolutionImage) {
        arrow.animations.erase("rotationAnimation");
        arrow.rotation = -s * r;
        return next(*this);
    }
    std::weak_ptr<ui::View> weak = weak_from_this();
    arrow.addAnimation("rotationAnimation",
                       ui::LayerAnimation{"transform.rotation.z", 0, -s * r, lapDuration, 0, false}, [weak, next] {
                           if (auto alive = std::static_pointer_cast<UnitCircleChartView>(weak.lock())) next(*alive);
                       });
}

void UnitCircleChartView::animateAngleLabel(const std::shared_ptr<ui::Label>& label, double from, double to,
                                            double duration) {
    if (isRenderingSolutionImage) return label->setText(degreesText(to, ""));
    const std::string prefix = to < 0 ? "-" : "";
    const double a = std::fabs(from), w = std::fabs(to) - std::fabs(from);
    std::weak_ptr<ui::Label> weak = label;
    for (int k = 0; k <= labelFrames; ++k) {
        const double value = static_cast<double>(k) / labelFrames * w + a;
        dispatch::MainQueue::shared()->asyncAfter(k * duration / labelFrames, [weak, value, prefix] {
            if (auto alive = weak.lock()) alive->setText(degreesText(value, prefix));
        });
    }
}

std::string UnitCircleChartView::coordinateText(double g, bool sine) {
    double value;
    if (sine) {
        if (isMultiple(g, 180)) value = 0;
        else if (isMultiple(g - 90, 360)) value = 1;
        else if (isMultiple(g - 270, 360)) value = -1;
        else value = std::sin(g * pi / 180);
    } else {
        if (isMultiple(g + 90, 180)) value = 0;
        else if (isMultiple(g, 360)) value = 1;
        else if (isMultiple(g - 180, 360)) value = -1;
        else value = std::cos(g * pi / 180);
    }
    return foundation::shortestDoubleText(KalMathOperation::roundedToPlaces(2, value).rounded);
}

void UnitCircleChartView::animateCoordinateLabel(const std::shared_ptr<ui::Label>& label, double degrees, bool sine,
                                                 double duration) {
    if (isRenderingSolutionImage) return label->setText(coordinateText(degrees, sine));
    std::weak_ptr<ui::Label> weak = label;
    for (int k = 0; k <= labelFrames; ++k) {
        const std::string text = coordinateText(degrees * k * duration / labelFrames, sine);
        dispatch::MainQueue::shared()->asyncAfter(k * duration / labelFrames, [weak, text] {
            if (auto alive = weak.lock()) alive->setText(text);
        });
    }
}

void UnitCircleChartView::drawArc(double angle, double duration, int64_t lap) {
    const ui::Rect circle = circleImageView->frame();
    auto arc = std::make_shared<graphics::ShapeLayer>();
    arc->name = animationLayerName;
    arc->frame = animationView->bounds();
    arc->path.addArc({circle.width() / 2, circle.height() / 2}, 0.375 * circle.width(), 0, -angle, angle < 0);
    arc->fillColor = ui::Color::clear();
    const double i = static_cast<double>(lap);
    arc->strokeColor = ui::Color::hsb(std::fmod(0.18 * i, 1.0), 0.9, std::max(0.0, 1 - 0.02 * i), 1);
    arc->lineWidth = 5.0;
    if (!isRenderingSolutionImage)
        arc->addAnimation("animateCircle", ui::LayerAnimation{"strokeEnd", 0, 1, duration, 0, false});
    animationView->layer().addSublayer(arc);
}

void UnitCircleChartView::finishAnimation() {
    animateAgainButton->setEnabled(true);
    animateAgainButton->setAlpha(1.0);
    const auto& quadrant = unitCircleChartData->quadrant;
    if (quadrant) {
        std::shared_ptr<ui::Label> label = *quadrant == Quadrant::first    ? q1Label
                                           : *quadrant == Quadrant::second ? q2Label
                                           : *quadrant == Quadrant::third  ? q3Label
                                                                           : q4Label;
        ui::View::animate(1.0, 0, ui::AnimationCurve::easeInOut, [label] { label->setAlpha(1); });
    }
    const ui::Rect frame = animationView->frame();
    const double w = frame.width(), h = frame.height(), radius = 0.375 * w, b = *unitCircleChartData->b;
    const ui::Point c{w / 2, h / 2};
    const ui::Point p{w / 2 + std::cos(b) * radius, h / 2 - std::sin(b) * radius};
    auto segment = [&](ui::Point from, ui::Point to, const ui::Color& color) {
        auto layer = std::make_shared<graphics::ShapeLayer>();
        layer->name = animationLayerName;
        layer->frame = animationView->bounds();
        layer->path.moveTo(from);
        layer->path.addLineTo(to);
        layer->fillColor.reset();
        layer->strokeColor = color;
        layer->lineWidth = 5.0;
        layer->lineJoin = "bevel";
        if (!isRenderingSolutionImage)
            layer->addAnimation("strokeEnd", ui::LayerAnimation{"strokeEnd", 0, 1, 1.0, 0, false});
        animationView->layer().addSublayer(layer);
    };
    segment(c, {p.x, h / 2}, ui::Color::blue());
    segment({p.x, h / 2}, p, ui::Color::red());
    isAnimationRunning = false;
}
