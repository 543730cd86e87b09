#include "gui/commandwiring.h"

#include "gui/mainwindow.h"
#include "gui/printercommands.h"

#include <QAction>

void attachPrinterCommands(MainWindow& window, PrinterCommands& commands)
{
    commands.setSelectedRowSource([&window] { return window.selectedPrinterRow(); });
    commands.setLocked(window.protectMode());
    QObject::connect(&window, &MainWindow::protectModeChanged, &commands,
                     &PrinterCommands::setLocked);

    QObject::connect(window.setupAction(), &QAction::triggered, &commands,
                     &PrinterCommands::onSetup);
    QObject::connect(window.addPrinterAction(), &QAction::triggered, &commands,
                     &PrinterCommands::onAddPrinter);
    QObject::connect(window.editPrinterAction(), &QAction::triggered, &commands,
                     &PrinterCommands::onEditPrinter);
    QObject::connect(window.removePrinterAction(), &QAction::triggered, &commands,
                     &PrinterCommands::onRemovePrinter);
    QObject::connect(window.addJobAction(), &QAction::triggered, &commands,
                     &PrinterCommands::onAddLocalJob);
    QObject::connect(&window, &MainWindow::printerActivated, &commands,
                     &PrinterCommands::onEditPrinter);

    QObject::connect(&commands, &PrinterCommands::printersChanged, &window,
                     &MainWindow::showPrinters);
    QObject::connect(&commands, &PrinterCommands::jobsChanged, &window, &MainWindow::refreshJobs);
}
