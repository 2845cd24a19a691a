#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cmath>

#include "app/figures/shape_picture.hpp"
#include "support/body_views.hpp"

namespace {

constexpr int side = 200;

// Whether a pixel is the picture's white background.
bool background(const QImage& image, int x, int y)
{
    return image.pixel(x, y) == qRgb(255, 255, 255);
}

// Whether a pixel is dark (night or shadow).
bool dark(const QImage& image, int x, int y)
{
    return QColor(image.pixel(x, y)).lightness() < 70;
}

// The centroid and count of the pixels a predicate picks.
struct blob {
    double x = 0, y = 0;
    int count = 0;
};

template <class Pick>
blob pixels(const QImage& image, Pick pick)
{
    blob b;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (pick(x, y)) {
                b.x += x + 0.5;
                b.y += y + 0.5;
                ++b.count;
            }
    if (b.count) {
        b.x /= b.count;
        b.y /= b.count;
    }
    return b;
}

TEST(ShapePicture, SphereAtZeroPhaseIsAFilledCentredDisc)
{
    const QImage image = render_view(view_body(unit_sphere(3), {0.3, 0.5, 0.8}, {0.3, 0.5, 0.8}), side);
    const blob body = pixels(image, [&](int x, int y) { return !background(image, x, y); });
    EXPECT_NEAR(body.x, side / 2.0, 1.0);
    EXPECT_NEAR(body.y, side / 2.0, 1.0);
    // The view's box fills the square less its 8-pixel margins.
    const double r = (side - 16) / 2.0;
    EXPECT_NEAR(body.count, M_PI * r * r, 0.03 * M_PI * r * r);
    int holes = 0, dark_inside = 0, stray = 0;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const double d = std::hypot(x + 0.5 - side / 2.0, y + 0.5 - side / 2.0);
            if (d < r - 3) {
                holes += background(image, x, y);
                dark_inside += dark(image, x, y);
            }
            if (d > r + 2) stray += !background(image, x, y);
        }
    EXPECT_EQ(holes, 0);
    EXPECT_EQ(dark_inside, 0);
    EXPECT_EQ(stray, 0);
}

TEST(ShapePicture, SphereAtQuadratureIsHalfDark)
{
    const QImage image = render_view(view_body(unit_sphere(3), {0, 0, 1}, {1, 0, 0}), side);
    const blob body = pixels(image, [&](int x, int y) { return !background(image, x, y); });
    const blob night = pixels(image, [&](int x, int y) { return dark(image, x, y); });
    EXPECT_NEAR(static_cast<double>(night.count) / body.count, 0.5, 0.04);
    // One half, not scattered facets: its centroid lies 4r/3π off the centre.
    const double r = (side - 16) / 2.0;
    EXPECT_NEAR(std::hypot(night.x - body.x, night.y - body.y), 4 * r / (3 * M_PI), 3.0);
}

TEST(ShapePicture, TwinSideOnShowsTheShadowOfTheOtherLobe)
{
    // The sun far along -x, behind the lobe at x = -1; seen side-on from +y.
    const viewable_body twins = touching_twins(3);
    const QImage lit_from_front = render_view(view_body(twins, {0, 1, 0}, {0, 1, 0}), side);
    const QImage lit_from_side = render_view(view_body(twins, {0, 1, 0}, {-1, 0, 0.05}), side);
    const QColor shadow = facet_colour({{}, {}, 0, 0, facet_light::shadowed, 0}, 1.0);
    const auto is_shadow = [&](const QImage& image) {
        return [&image, shadow](int x, int y) { return image.pixel(x, y) == shadow.rgb(); };
    };
    EXPECT_EQ(pixels(lit_from_front, is_shadow(lit_from_front)).count, 0);
    const blob shade = pixels(lit_from_side, is_shadow(lit_from_side));
    EXPECT_GT(shade.count, 200);
    // The shadow lies near the neck, in the middle of the picture.
    EXPECT_NEAR(shade.x, side / 2.0, side / 4.0);
}

TEST(ShapePicture, ColoursTellTheLightApart)
{
    const double brightest = 2.0;
    const QColor bright = facet_colour({{}, {}, 0, 2.0, facet_light::lit, 0}, brightest);
    const QColor dim = facet_colour({{}, {}, 0, 0.2, facet_light::lit, 0}, brightest);
    const QColor night = facet_colour({{}, {}, 0, 0, facet_light::night, 0}, brightest);
    const QColor shadow = facet_colour({{}, {}, 0, 0, facet_light::shadowed, 0}, brightest);
    EXPECT_GT(bright.lightness(), dim.lightness());
    EXPECT_GT(dim.lightness(), night.lightness());
    EXPECT_LT(night.lightness(), 70);
    EXPECT_LT(shadow.lightness(), 70);
    EXPECT_NE(night, shadow);
}

}  // namespace

namespace {

// The pixels of a colour, within a small tolerance (antialiased edges aside).
auto near_colour(const QImage& image, QColor c)
{
    return [&image, c](int x, int y) {
        const QColor p(image.pixel(x, y));
        return std::abs(p.red() - c.red()) + std::abs(p.green() - c.green()) + std::abs(p.blue() - c.blue()) < 30;
    };
}

}  // namespace

TEST(ShapePicture, MarksTheSpinAxisTheSunAndTheEarth)
{
    const viewable_body twins = touching_twins(2);
    shape_curves c;
    c.shape = 4;
    c.earth_view = view_body(twins, {0, 0, 1}, {0, 0, 1});
    for (int axis = 0; axis < 3; ++axis) c.axis_views[axis] = c.earth_view;
    c.view_block = 7;
    c.view_time = 2451545.0;
    c.body_sun = {0, 0, 1};
    c.body_earth = {0, 0, 1};
    const QColor red(200, 30, 30), orange(230, 150, 0);
    const auto render = [&](vec3 axis, vec3 sun) {
        c.view_spin_axis = axis;
        c.view_sun = sun;
        shape_picture picture(c);
        picture.resize(picture.sizeHint());
        return picture.grab().toImage();
    };
    // The axis up the view: red above the body's centre, none below it.
    QImage image = render({0, 1, 0}, {1, 0, 0});
    const blob up = pixels(image, near_colour(image, red));
    ASSERT_GT(up.count, 40);
    const blob sun = pixels(image, near_colour(image, orange));
    ASSERT_GT(sun.count, 40);
    // The sun's arrow points right of the axis's.
    EXPECT_GT(sun.x, up.x + 20);
    // The axis toward the earth: a mark in the corner instead of an arrow.
    image = render({0, 0.1, -0.995}, {1, 0, 0});
    const blob away = pixels(image, near_colour(image, red));
    ASSERT_GT(away.count, 10);
    EXPECT_LT(away.y, up.y - 20) << "the end-on mark sits in the view's top corner";
}

TEST(ShapePicture, HiddenFacetsAreHatched)
{
    viewed_facet f{{-1, 1, 0}, {-1, -1, 1}, 0.0, 0.0, facet_light::hidden, 1};
    const QImage image = render_view({f}, side);
    const QColor hidden = facet_colour(f, 1.0);
    const int plain = pixels(image, [&](int x, int y) { return image.pixel(x, y) == hidden.rgb(); }).count;
    const int hatch = pixels(image, near_colour(image, QColor(150, 150, 150))).count;
    EXPECT_GT(plain, 500);
    EXPECT_GT(hatch, 100);
}
