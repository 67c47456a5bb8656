// Grabs the X display's screen into a PNG, cropped to what differs from the black root window,
// once the picture has stopped changing. Used by scripts/screenshot under Xvfb.
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <cstdio>

namespace {

QRect ContentRect(const QImage& image) {
    const QRgb background = image.pixel(0, 0);
    QRect box;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (row[x] != background) box |= QRect(x, y, 1, 1);
    }
    return box;
}

}  // namespace

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screen_grab OUTPUT.png\n");
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    QImage previous;
    while (clock.elapsed() < 20000) {
        const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
            QImage::Format_RGB32);
        const QRect box = ContentRect(shot);
        if (!box.isEmpty() && shot == previous) return shot.copy(box).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        previous = shot;
        QThread::msleep(500);
    }
    std::fprintf(stderr, "screen_grab: nothing appeared on the screen\n");
    return 1;
}
