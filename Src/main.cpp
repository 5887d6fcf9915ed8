#include "NdTaskItem.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NdDownloader"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.4"));
    // Task threads report their progress to the rows from the start.
    NdTaskItem::RegisterWithEngine();
    return 0;
}
