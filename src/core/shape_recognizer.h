// Template matcher deciding whether a hand-drawn stroke is a line, an arrow, a rectangle or a
// circle, in the manner of a $1 unistroke recogniser: resample to 64 points, rotate to the
// indicative angle, scale to the unit box, centre, and compare with templates at the best
// angle within ±45° (golden-section search).
#pragma once

#include "core/shape_match.h"
#include "protocol/messages.h"

#include <optional>
#include <span>
#include <vector>

namespace velurio {

class ShapeRecognizer {
  public:
    static constexpr int sampleCount = 64;

    // Builds the twelve normalised templates; `minimumScore` is the acceptance threshold.
    explicit ShapeRecognizer(double minimumScore);

    // The best match, or nothing: fewer than 12 points, no extent, or best score below
    // minimumScore. Only x and y are used; the bounds are in the points' own coordinates.
    std::optional<ShapeMatch> recognize(std::span<const StrokePoint> points) const;

    double minimumScore;

    struct Point {
        double x = 0;
        double y = 0;
    };
    struct Template {
        ShapeKind kind;
        std::vector<Point> points;
    };
    const std::vector<Template>& templates() const noexcept { return m_templates; }

    // The normalisation applied to strokes and templates alike (exposed for tests).
    static std::vector<Point> normalize(std::vector<Point> points);

  private:
    std::vector<Template> m_templates;
};

}  // namespace velurio
