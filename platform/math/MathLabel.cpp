#include "platform/math/MathLabel.h"

namespace math {

std::string MathLabel::snapshotDescription() const {
    return latex_.empty() ? "" : "math " + ui::quoted(latex_);
}

}  // namespace math
