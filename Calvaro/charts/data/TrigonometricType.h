#pragma once

// The function a unit-circle or trigonometric chart shows.
enum class TrigonometricType { sin, cos, tan };
