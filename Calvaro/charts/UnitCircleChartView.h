#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/data/UnitCircleChartData.h"
#include "platform/kit/Buttons.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"

// An angle on the unit circle, as an animation: the arrow turns lap by lap
// from 0 to the angle, one coloured arc a lap, the labels count the angle,
// the angle within the turn, the full turns and cos and sin, and at the end
// the quadrant is named and the cosine and sine are drawn as segments.
// Labels step on the main queue's clock, laps follow the arrow's turns; while
// the solution is rendered as an image everything is applied at once.
class UnitCircleChartView : public ui::View, public AnimatedChartView {
public:
    // The most laps animated: an angle of more turns draws its remaining
    // turns in the last lap, and the labels still count to its true value.
    static constexpr int64_t maxLaps = 20;

    explicit UnitCircleChartView(const ui::Rect& frame);

    std::shared_ptr<ui::View> contentView;
    std::shared_ptr<ui::ImageView> circleImageView;
    std::shared_ptr<ui::View> animationView;
    std::shared_ptr<ui::ImageView> arrowImageView;
    std::shared_ptr<ui::Label> q1Label, q2Label, q3Label, q4Label;
    std::shared_ptr<ui::Label> alphaLabel, gammaLabel, fullCirclesLabel, pXLabel, pYLabel;
    std::vector<std::shared_ptr<ui::Label>> allLabels;
    std::shared_ptr<kit::FlatButton> animateAgainButton;
    std::shared_ptr<UnitCircleChartData> unitCircleChartData;
    bool isAnimationRunning = false;

    void startAnimation() override;
    bool isAnimating() const override { return isAnimationRunning; }
    // The button's action: restarts the view two levels above the sender.
    static void tappedAnimateAgain(ui::View& sender);

    // The description's number of full turns, |fullCircles|.
    int64_t fullTurns() const;
    // The text of a coordinate at `degrees`: cut to 2 places, e.g. "0.71", "-1.0".
    static std::string coordinateText(double degrees, bool sine);

private:
    void setUpView();
    void animateLap(int64_t lap);
    void animateAngleLabel(const std::shared_ptr<ui::Label>& label, double from, double to, double duration);
    void animateCoordinateLabel(const std::shared_ptr<ui::Label>& label, double degrees, bool sine, double duration);
    void drawArc(double angle, double duration, int64_t lap);
    void finishAnimation();
    int64_t laps() const;
};
