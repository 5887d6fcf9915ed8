#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NdDownloader"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.4"));
    return 0;
}
