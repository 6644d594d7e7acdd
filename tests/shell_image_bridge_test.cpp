// The crossing between OpenCV matrices and Qt images: channel order, strides and ownership.

#include <QTest>

#include <opencv2/core.hpp>

#include "shell/ImageBridge.h"

class ShellImageBridgeTest : public QObject {
    Q_OBJECT

private slots:
    void blueGreenRedBecomesTrueColours();
    void imageKeepsItsPixelsAfterTheMatrixGoes();
    void subMatrixWithPaddedRows();
    void greyAndUnsupportedMatrices();
    void imageBecomesBlueGreenRed();
    void matrixKeepsItsPixelsAfterTheImageChanges();
};

void ShellImageBridgeTest::blueGreenRedBecomesTrueColours() {
    cv::Mat mat(2, 2, CV_8UC3);
    mat.at<cv::Vec3b>(0, 0) = {255, 0, 0};   // blue
    mat.at<cv::Vec3b>(0, 1) = {0, 255, 0};   // green
    mat.at<cv::Vec3b>(1, 0) = {0, 0, 255};   // red
    mat.at<cv::Vec3b>(1, 1) = {10, 20, 30};  // blue 10, green 20, red 30

    const QImage image = MatToQImage(mat);
    QCOMPARE(image.size(), QSize(2, 2));
    QCOMPARE(image.pixel(0, 0), qRgb(0, 0, 255));
    QCOMPARE(image.pixel(1, 0), qRgb(0, 255, 0));
    QCOMPARE(image.pixel(0, 1), qRgb(255, 0, 0));
    QCOMPARE(image.pixel(1, 1), qRgb(30, 20, 10));
}

void ShellImageBridgeTest::imageKeepsItsPixelsAfterTheMatrixGoes() {
    cv::Mat mat(600, 800, CV_8UC3, cv::Scalar(1, 2, 3));
    const uchar* first = mat.data;
    const uchar* end = mat.data + mat.total() * mat.elemSize();
    const QImage image = MatToQImage(mat);
    QVERIFY(image.constBits() < first || image.constBits() >= end);

    mat.setTo(cv::Scalar(200, 200, 200));
    mat.release();
    QCOMPARE(image.pixel(0, 0), qRgb(3, 2, 1));
    QCOMPARE(image.pixel(799, 599), qRgb(3, 2, 1));
}

void ShellImageBridgeTest::subMatrixWithPaddedRows() {
    // A view into a wider matrix: its rows are further apart than its width.
    cv::Mat whole(10, 10, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat view = whole(cv::Rect(3, 2, 5, 4));
    for (int y = 0; y < view.rows; ++y) {
        for (int x = 0; x < view.cols; ++x) {
            view.at<cv::Vec3b>(y, x) = {uchar(x), uchar(y), uchar(100)};
        }
    }
    QVERIFY(!view.isContinuous());

    const QImage image = MatToQImage(view);
    QCOMPARE(image.size(), QSize(5, 4));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) {
            QCOMPARE(image.pixel(x, y), qRgb(100, y, x));
        }
    }
}

void ShellImageBridgeTest::greyAndUnsupportedMatrices() {
    cv::Mat grey(1, 2, CV_8UC1);
    grey.at<uchar>(0, 0) = 0;
    grey.at<uchar>(0, 1) = 200;
    const QImage image = MatToQImage(grey);
    grey.release();
    QCOMPARE(image.pixel(0, 0), qRgb(0, 0, 0));
    QCOMPARE(image.pixel(1, 0), qRgb(200, 200, 200));

    QVERIFY(MatToQImage(cv::Mat()).isNull());
    QVERIFY(MatToQImage(cv::Mat(4, 4, CV_16UC3, cv::Scalar::all(0))).isNull());
    QVERIFY(MatToQImage(cv::Mat(4, 4, CV_8UC2, cv::Scalar::all(0))).isNull());
    QVERIFY(QImageToMat(QImage()).empty());
}

void ShellImageBridgeTest::imageBecomesBlueGreenRed() {
    for (const QImage::Format format :
         {QImage::Format_RGB32, QImage::Format_ARGB32, QImage::Format_RGB888}) {
        QImage image(3, 2, format);
        image.fill(Qt::black);
        image.setPixel(0, 0, qRgb(255, 0, 0));
        image.setPixel(1, 0, qRgb(0, 255, 0));
        image.setPixel(2, 0, qRgb(0, 0, 255));
        image.setPixel(2, 1, qRgb(30, 20, 10));

        const cv::Mat mat = QImageToMat(image);
        QCOMPARE(mat.type(), CV_8UC3);
        QCOMPARE(mat.cols, 3);
        QCOMPARE(mat.rows, 2);
        QCOMPARE(mat.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255));
        QCOMPARE(mat.at<cv::Vec3b>(0, 1), cv::Vec3b(0, 255, 0));
        QCOMPARE(mat.at<cv::Vec3b>(0, 2), cv::Vec3b(255, 0, 0));
        QCOMPARE(mat.at<cv::Vec3b>(1, 2), cv::Vec3b(10, 20, 30));
        QCOMPARE(mat.at<cv::Vec3b>(1, 0), cv::Vec3b(0, 0, 0));
    }
}

void ShellImageBridgeTest::matrixKeepsItsPixelsAfterTheImageChanges() {
    QImage image(5, 3, QImage::Format_BGR888);  // already the matrix's byte order
    image.fill(QColor(7, 8, 9));
    const cv::Mat mat = QImageToMat(image);
    image.fill(Qt::white);
    image = QImage();
    QCOMPARE(mat.at<cv::Vec3b>(2, 4), cv::Vec3b(9, 8, 7));

    // There and back again gives the same pixels.
    cv::Mat noise(17, 13, CV_8UC3);
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
    QCOMPARE(cv::norm(QImageToMat(MatToQImage(noise)), noise, cv::NORM_INF), 0.0);
}

QTEST_GUILESS_MAIN(ShellImageBridgeTest)
#include "shell_image_bridge_test.moc"
