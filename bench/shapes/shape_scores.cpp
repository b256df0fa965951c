// Score distributions of the shape recogniser on rough, hand-like shapes and on scribbles, to
// choose the threshold at which a held pen stroke snaps to a shape.
//
// Every stroke is made the way the mouse makes one on a 1920×1080 overlay: points every 6 to
// 16 pixels along the path, a slow hand wobble (a few pixels) plus jitter, a little rotation,
// overshoot where a closed shape meets its start. Rough shapes: rectangles (any corner, either
// direction, aspect 1:3 to 3:1), circles and ellipses (330° to 390° of sweep), lines and
// arrows (shaft, then both barbs, in one stroke). Scribbles: shading zigzags, handwriting
// loops, spirals, tick marks, wavy underlines, S curves, random smooth curves and open
// U/V/L/C shapes. The recogniser runs with threshold 0 so every stroke gets its best score.
//
// Prints, per class, the recognised kind counts and score percentiles, then for a range of
// thresholds the share of rough shapes that snap to the right kind and the share of scribbles
// that would snap to anything. Deterministic (fixed seed).
//
// With --templates-only the geometric checks of ShapeSnapping are left out: the recogniser's
// own verdict, which shows why they are needed.
//
//   build/dev/bench/velurio_shape_scores [--templates-only] [strokes per class, default 400]
#include "core/shape_snapping.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace velurio {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr SizeF kCanvas{1920, 1080};

struct P {
    double x;
    double y;
};

class Hand {
  public:
    explicit Hand(std::uint32_t seed) : m_rng(seed) {}
    double uniform(double a, double b) { return std::uniform_real_distribution<>(a, b)(m_rng); }
    int integer(int a, int b) { return std::uniform_int_distribution<>(a, b)(m_rng); }
    bool coin() { return integer(0, 1) == 1; }

    // The path sampled as mouse events, with wobble and jitter, as normalised stroke points.
    std::vector<StrokePoint> trace(const std::vector<P>& path) {
        std::vector<P> dense;
        for (std::size_t i = 0; i + 1 < path.size(); ++i) {
            const double length = std::hypot(path[i + 1].x - path[i].x, path[i + 1].y - path[i].y);
            const int steps = std::max(1, static_cast<int>(length));
            for (int s = 0; s < steps; ++s) {
                const double t = static_cast<double>(s) / steps;
                dense.push_back({path[i].x + t * (path[i + 1].x - path[i].x),
                                 path[i].y + t * (path[i + 1].y - path[i].y)});
            }
        }
        dense.push_back(path.back());
        const double wobble = uniform(1.0, 4.0);
        const double f1 = uniform(0.004, 0.02);
        const double f2 = uniform(0.004, 0.02);
        const double p1 = uniform(0, 2 * kPi);
        const double p2 = uniform(0, 2 * kPi);
        std::vector<StrokePoint> out;
        double walked = 0;
        double next = 0;
        std::int64_t t = 1000;
        for (std::size_t i = 0; i < dense.size(); ++i) {
            if (i > 0)
                walked += std::hypot(dense[i].x - dense[i - 1].x, dense[i].y - dense[i - 1].y);
            if (walked < next && i + 1 != dense.size())
                continue;
            next = walked + uniform(6, 16);
            StrokePoint p;
            p.x = (dense[i].x + wobble * std::sin(f1 * walked + p1) + uniform(-0.8, 0.8)) /
                  kCanvas.width;
            p.y = (dense[i].y + wobble * std::sin(f2 * walked + p2) + uniform(-0.8, 0.8)) /
                  kCanvas.height;
            p.pressure = 0.5;
            p.timestampMs = t;
            t += 8;
            out.push_back(p);
        }
        return out;
    }

    // Rotates a path by a small angle about its first point's neighbourhood centre.
    std::vector<P> tilt(std::vector<P> path, double degrees) {
        double cx = 0;
        double cy = 0;
        for (const P& p : path) {
            cx += p.x;
            cy += p.y;
        }
        cx /= static_cast<double>(path.size());
        cy /= static_cast<double>(path.size());
        const double a = degrees * kPi / 180;
        for (P& p : path) {
            const double x = p.x - cx;
            const double y = p.y - cy;
            p = {cx + x * std::cos(a) - y * std::sin(a), cy + x * std::sin(a) + y * std::cos(a)};
        }
        return path;
    }

  private:
    std::mt19937 m_rng;
};

using Maker = std::function<std::vector<P>(Hand&)>;

P centre(Hand& h) {
    return {h.uniform(500, 1400), h.uniform(300, 780)};
}

std::vector<P> rectangle(Hand& h) {
    const P c = centre(h);
    const double w = h.uniform(80, 560);
    const double hh = std::clamp(w * h.uniform(0.33, 3.0), 60.0, 520.0);
    std::vector<P> corners{{c.x - w / 2, c.y - hh / 2},
                           {c.x + w / 2, c.y - hh / 2},
                           {c.x + w / 2, c.y + hh / 2},
                           {c.x - w / 2, c.y + hh / 2}};
    for (P& p : corners) {
        p.x += h.uniform(-0.05, 0.05) * w;
        p.y += h.uniform(-0.05, 0.05) * hh;
    }
    const int start = h.integer(0, 3);
    const int dir = h.coin() ? 1 : 3;
    std::vector<P> path;
    for (int k = 0; k <= 4; ++k)
        path.push_back(corners[static_cast<std::size_t>((start + dir * k) % 4)]);
    // Overshoot or fall short where the hand comes back.
    const P& a = path[3];
    P& end = path[4];
    const double over = h.uniform(-0.12, 0.12);
    end = {end.x + over * (end.x - a.x), end.y + over * (end.y - a.y)};
    return h.tilt(path, h.uniform(-7, 7));
}

std::vector<P> circle(Hand& h) {
    const P c = centre(h);
    const double r = h.uniform(40, 280);
    const double aspect = h.uniform(0.65, 1.5);
    const double start = h.uniform(0, 2 * kPi);
    const double sweep = h.uniform(330, 390) * kPi / 180 * (h.coin() ? 1 : -1);
    std::vector<P> path;
    const double radial = h.uniform(0.0, 0.08);
    for (int k = 0; k <= 72; ++k) {
        const double a = start + sweep * k / 72;
        const double rr = r * (1 + radial * std::sin(3 * a + start));
        path.push_back({c.x + rr * std::cos(a), c.y + rr * aspect * std::sin(a)});
    }
    return path;
}

std::vector<P> line(Hand& h) {
    const P c = centre(h);
    const double length = h.uniform(100, 700);
    const double a = h.uniform(0, 2 * kPi);
    const double bow = h.uniform(-0.04, 0.04) * length;
    std::vector<P> path;
    for (int k = 0; k <= 8; ++k) {
        const double t = k / 8.0 - 0.5;
        const double side = bow * (1 - 4 * t * t);
        path.push_back({c.x + t * length * std::cos(a) - side * std::sin(a),
                        c.y + t * length * std::sin(a) + side * std::cos(a)});
    }
    return path;
}

std::vector<P> arrow(Hand& h) {
    std::vector<P> path = line(h);
    const P tip = path.back();
    const P before = path[path.size() - 2];
    const double a = std::atan2(tip.y - before.y, tip.x - before.x);
    const double length =
        std::hypot(path.back().x - path.front().x, path.back().y - path.front().y);
    const double head = length * h.uniform(0.15, 0.3);
    const double spread = h.uniform(140, 160) * kPi / 180;
    path.push_back({tip.x + head * std::cos(a + spread), tip.y + head * std::sin(a + spread)});
    path.push_back({tip.x + h.uniform(-4, 4), tip.y + h.uniform(-4, 4)});
    path.push_back({tip.x + head * std::cos(a - spread), tip.y + head * std::sin(a - spread)});
    return path;
}

std::vector<P> zigzag(Hand& h) {
    const P c = centre(h);
    const double w = h.uniform(80, 400);
    const double hh = h.uniform(40, 300);
    const int n = h.integer(3, 10);
    std::vector<P> path;
    for (int k = 0; k <= n; ++k) {
        path.push_back({c.x - w / 2 + w * k / n + h.uniform(-10, 10),
                        c.y + (k % 2 == 0 ? -hh / 2 : hh / 2) + h.uniform(-10, 10)});
    }
    return h.tilt(path, h.uniform(-30, 30));
}

std::vector<P> loops(Hand& h) {
    const P c = centre(h);
    const double r = h.uniform(15, 60);
    const int count = h.integer(2, 6);
    std::vector<P> path;
    for (int k = 0; k <= count * 24; ++k) {
        const double a = 2 * kPi * k / 24;
        path.push_back({c.x + k * r * 1.2 / 24 * 2 - r * std::cos(a), c.y - r * std::sin(a)});
    }
    return path;
}

std::vector<P> spiral(Hand& h) {
    const P c = centre(h);
    const double r = h.uniform(60, 260);
    const double turns = h.uniform(1.5, 3.5);
    std::vector<P> path;
    for (int k = 0; k <= 120; ++k) {
        const double t = k / 120.0;
        const double a = 2 * kPi * turns * t;
        path.push_back({c.x + r * t * std::cos(a), c.y + r * t * std::sin(a)});
    }
    return path;
}

std::vector<P> tick(Hand& h) {
    const P c = centre(h);
    const double s = h.uniform(40, 250);
    return h.tilt({{c.x - s / 2, c.y}, {c.x - s / 6, c.y + s / 2}, {c.x + s / 2, c.y - s / 1.5}},
                  h.uniform(-20, 20));
}

std::vector<P> wave(Hand& h) {
    const P c = centre(h);
    const double w = h.uniform(200, 800);
    const double amplitude = h.uniform(10, 60);
    const double periods = h.uniform(2, 6);
    std::vector<P> path;
    for (int k = 0; k <= 80; ++k) {
        const double t = k / 80.0;
        path.push_back({c.x - w / 2 + w * t, c.y + amplitude * std::sin(2 * kPi * periods * t)});
    }
    return h.tilt(path, h.uniform(-20, 20));
}

std::vector<P> sCurve(Hand& h) {
    const P c = centre(h);
    const double r = h.uniform(40, 200);
    std::vector<P> path;
    for (int k = 0; k <= 40; ++k) {
        const double a = kPi / 2 + 1.5 * kPi * k / 40;
        path.push_back({c.x + r * std::cos(a), c.y - r + r * std::sin(-a) * -1});
    }
    for (int k = 0; k <= 40; ++k) {
        const double a = -kPi / 2 - 1.5 * kPi * k / 40;
        path.push_back({c.x + r * std::cos(a), c.y + r + r * std::sin(-a) * -1});
    }
    return path;
}

std::vector<P> wander(Hand& h) {
    P p = centre(h);
    double heading = h.uniform(0, 2 * kPi);
    double turn = 0;
    std::vector<P> path{p};
    const int steps = h.integer(30, 120);
    for (int k = 0; k < steps; ++k) {
        turn = std::clamp(turn + h.uniform(-0.12, 0.12), -0.25, 0.25);
        heading += turn;
        p = {p.x + 8 * std::cos(heading), p.y + 8 * std::sin(heading)};
        path.push_back(p);
    }
    return path;
}

std::vector<P> openShape(Hand& h) {
    const P c = centre(h);
    const double w = h.uniform(80, 400);
    const double hh = h.uniform(80, 400);
    switch (h.integer(0, 3)) {
        case 0:  // U
            return {{c.x - w / 2, c.y - hh / 2},
                    {c.x - w / 2, c.y + hh / 2},
                    {c.x + w / 2, c.y + hh / 2},
                    {c.x + w / 2, c.y - hh / 2}};
        case 1:  // V
            return {{c.x - w / 2, c.y - hh / 2}, {c.x, c.y + hh / 2}, {c.x + w / 2, c.y - hh / 2}};
        case 2:  // L
            return {{c.x - w / 2, c.y - hh / 2},
                    {c.x - w / 2, c.y + hh / 2},
                    {c.x + w / 2, c.y + hh / 2}};
        default: {  // C: a half to three-quarter circle
            std::vector<P> path;
            const double sweep = h.uniform(180, 270) * kPi / 180;
            for (int k = 0; k <= 40; ++k) {
                const double a = kPi / 4 + sweep * k / 40;
                path.push_back({c.x + w / 2 * std::cos(a), c.y + hh / 2 * std::sin(a)});
            }
            return path;
        }
    }
}

struct Class {
    const char* name;
    Maker make;
    std::optional<ShapeKind> kind;  // the right answer for a shape; none for a scribble
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::clamp(p / 100 * static_cast<double>(v.size() - 1),
                                                       0.0, static_cast<double>(v.size() - 1)));
    return v[i];
}

}  // namespace
}  // namespace velurio

int main(int argc, char** argv) {
    using namespace velurio;
    bool templatesOnly = false;
    int perClass = 400;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--templates-only") {
            templatesOnly = true;
        } else {
            perClass = std::max(1, std::atoi(argv[i]));
        }
    }
    const std::vector<Class> classes{
        {"rectangle", rectangle, ShapeKind::rectangle},
        {"circle", circle, ShapeKind::circle},
        {"line", line, ShapeKind::line},
        {"arrow", arrow, ShapeKind::arrow},
        {"zigzag", zigzag, std::nullopt},
        {"loops", loops, std::nullopt},
        {"spiral", spiral, std::nullopt},
        {"tick", tick, std::nullopt},
        {"wave", wave, std::nullopt},
        {"s-curve", sCurve, std::nullopt},
        {"wander", wander, std::nullopt},
        {"open U/V/L/C", openShape, std::nullopt},
    };
    const ShapeRecognizer recognizer(0.0);
    Hand hand(20261208);
    // Per class: best score of the right kind (shapes) or of any kind (scribbles).
    std::map<std::string, std::vector<double>> scores;
    std::map<std::string, std::map<std::string, int>> kinds;
    std::vector<double> shapeScores;  // right kind only; a wrong kind counts as 0
    std::vector<double> scribbleScores;
    for (const Class& c : classes) {
        for (int i = 0; i < perClass; ++i) {
            const auto points = hand.trace(c.make(hand));
            std::optional<ShapeMatch> match;
            if (templatesOnly) {
                std::vector<StrokePoint> scaled = points;
                for (StrokePoint& p : scaled) {
                    p.x *= kCanvas.width;
                    p.y *= kCanvas.height;
                }
                match = recognizer.recognize(scaled);
            } else {
                match = ShapeSnapping::recognize(recognizer, points, kCanvas);
            }
            const std::string kind = match ? std::string(rawValue(match->kind)) : "none";
            ++kinds[c.name][kind];
            const double score = match ? match->score : 0;
            if (c.kind) {
                const double right = match && match->kind == *c.kind ? score : 0;
                scores[c.name].push_back(right);
                shapeScores.push_back(right);
            } else {
                scores[c.name].push_back(score);
                scribbleScores.push_back(score);
            }
        }
    }
    std::printf("%-14s %6s %6s %6s %6s %6s  kinds\n", "class", "p1", "p5", "p50", "p95", "p99");
    for (const Class& c : classes) {
        const auto& v = scores[c.name];
        std::printf("%-14s %6.3f %6.3f %6.3f %6.3f %6.3f ", c.name, percentile(v, 1),
                    percentile(v, 5), percentile(v, 50), percentile(v, 95), percentile(v, 99));
        for (const auto& [kind, count] : kinds[c.name])
            std::printf(" %s:%d", kind.c_str(), count);
        std::printf("\n");
    }
    std::printf("\nthreshold  shapes snapped right  scribbles snapped\n");
    for (double t = 0.70; t <= 0.9001; t += 0.01) {
        const auto above = [t](const std::vector<double>& v) {
            return 100.0 *
                   static_cast<double>(
                       std::count_if(v.begin(), v.end(), [t](double s) { return s >= t; })) /
                   static_cast<double>(v.size());
        };
        std::printf("  %.2f     %6.1f %%             %6.1f %%%s\n", t, above(shapeScores),
                    above(scribbleScores),
                    std::abs(t - ShapeSnapping::kMinimumScore) < 1e-9 ? "   <- chosen" : "");
    }
    return 0;
}
