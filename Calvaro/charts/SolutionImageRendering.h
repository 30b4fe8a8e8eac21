#pragma once

// True while the solution is being rendered as an image; animated chart
// views then draw their final state at once. Main thread only.
inline bool isRenderingSolutionImage = false;
