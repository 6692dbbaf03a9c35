// Writes the help document: the help text (Markdown) laid out as a PDF.
// Usage: quorrel-help-gen TEXT.md OUT.pdf
#include <QFile>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: quorrel-help-gen TEXT.md OUT.pdf\n");
    return 2;
  }
  // No display is needed to lay out text.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);

  QFile in(QString::fromLocal8Bit(argv[1]));
  if (!in.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "quorrel-help-gen: cannot read %s\n", argv[1]);
    return 1;
  }
  const QString text = QString::fromUtf8(in.readAll());

  const QString outPath = QString::fromLocal8Bit(argv[2]);
  const QString tempPath = outPath + ".tmp";
  {
    QPdfWriter writer(tempPath);
    writer.setTitle("quorrel");
    writer.setCreator("quorrel-help-gen");
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Millimeter);
    QTextDocument doc;
    QFont font("Liberation Sans");
    font.setPointSize(11);
    doc.setDefaultFont(font);
    doc.setMarkdown(text);
    doc.print(&writer);
  }
  QFile::remove(outPath);
  if (!QFile::rename(tempPath, outPath)) {
    std::fprintf(stderr, "quorrel-help-gen: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
