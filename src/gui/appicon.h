#pragma once
// The application's icon, drawn rather than shipped as a file, so the tray, the window and
// the about box need nothing beside the binary.

#include <QIcon>
#include <QPixmap>

class AppIcon final
{
public:
    static QIcon icon();
    static QPixmap pixmap(int size);
};
