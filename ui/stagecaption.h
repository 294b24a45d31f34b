#pragma once

#include <QString>

enum class Stage;

// The caption of a stage, as the window's step label shows it and the terminal's progress
// line repeats it; empty for Stage::None.
const QString &StageCaption(Stage stage);
