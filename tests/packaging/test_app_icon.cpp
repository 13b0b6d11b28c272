// SPDX-License-Identifier: GPL-3.0-or-later
// The windows' icon: the built-in PNGs rendered from the SVGs, and the icon
// theme taking precedence over them.

#include "packaging/AppIcon.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

void EnsureApp()
{
    if (QGuiApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "test_app_icon";
    static char* argv[] = {name, nullptr};
    new QGuiApplication(argc, argv);  // lives for the whole test program
}

QImage At(const QIcon& icon, int size)
{
    return icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
}

class AppIconTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        EnsureApp();
        // No installed theme may answer for these names.
        QIcon::setThemeSearchPaths({});
        QIcon::setFallbackSearchPaths({});
    }
};

TEST_P(AppIconTest, BuiltInIconHasEverySizeDrawn)
{
    const QIcon icon = KestovaBuiltInAppIcon(GetParam());
    ASSERT_FALSE(icon.isNull());
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        SCOPED_TRACE(size);
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size)));
        const QImage image = At(icon, size);
        ASSERT_EQ(image.size(), QSize(size, size));
        // The frame's body fills the lower right; the top right corner is
        // left transparent around the ring.
        EXPECT_EQ(qAlpha(image.pixel(size * 3 / 4, size * 3 / 4)), 255);
        EXPECT_EQ(qAlpha(image.pixel(size - 1, 0)), 0);
    }
    // Without a theme the window gets the same pictures.
    EXPECT_EQ(At(KestovaAppIcon(GetParam()), 48), At(icon, 48));
}

TEST_P(AppIconTest, ThemeIconWinsOverBuiltIn)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath("hicolor/48x48/apps"));
    QFile index(dir.filePath("hicolor/index.theme"));
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=hicolor\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Fixed\n");
    index.close();
    QImage red(48, 48, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(dir.filePath(QStringLiteral("hicolor/48x48/apps/%1.png").arg(GetParam()))));

    QIcon::setThemeSearchPaths({dir.path()});
    QIcon::setThemeName(QStringLiteral("hicolor"));
    const QImage shown = At(KestovaAppIcon(GetParam()), 48);
    QIcon::setThemeSearchPaths({});
    EXPECT_EQ(shown.pixel(24, 24), qRgb(255, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(Programs, AppIconTest, ::testing::Values("kestova", "mackestova"));

TEST(AppIcon, TheTwoProgramsLookDifferentAndUnknownNamesGetNothing)
{
    EnsureApp();
    EXPECT_NE(At(KestovaBuiltInAppIcon("kestova"), 64), At(KestovaBuiltInAppIcon("mackestova"), 64));
    EXPECT_TRUE(KestovaBuiltInAppIcon("no-such-program").isNull());
    EXPECT_TRUE(KestovaAppIcon("no-such-program").isNull());
}

} // namespace
