// The yardstick of the start-up benchmark: the least a Qt Widgets program
// with one window and one table does before its window shows. Built with
// the same compiler and flags as the application, nothing else linked.

#include <QApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QStringList>
#include <QTableWidget>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QMainWindow window;
  window.setWindowTitle(QStringLiteral("Reference"));
  auto* table = new QTableWidget(8, 2, &window);
  table->setHorizontalHeaderLabels({QStringLiteral("Region"), QStringLiteral("Ping")});
  table->horizontalHeader()->setStretchLastSection(true);
  for (int row = 0; row < table->rowCount(); ++row) {
    table->setItem(row, 0, new QTableWidgetItem(QStringLiteral("Line %1").arg(row + 1)));
    table->setItem(row, 1, new QTableWidgetItem(QStringLiteral("%1 ms").arg(20 + row)));
  }
  window.setCentralWidget(table);
  window.resize(600, 620);  // the size of the application's main window
  window.show();
  return application.exec();
}
