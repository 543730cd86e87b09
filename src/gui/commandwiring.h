#pragma once
// The window's File and Job > Add... entries and its printer list drive the printer
// commands; the commands' changes come back to the window's lists. The commands know
// nothing of the window, so this is the one place both meet.

class MainWindow;
class PrinterCommands;

void attachPrinterCommands(MainWindow& window, PrinterCommands& commands);
