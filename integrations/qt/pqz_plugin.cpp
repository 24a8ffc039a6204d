// The Qt plug-in that gives the PQZ reader to QImageReader (format "pqz", MIME type image/x-pqz).
#include <QImageIOPlugin>

#include "pqz_handler.h"

class PqzPlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "pqz.json")

  public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
        if (format == "pqz") return CanRead;
        if (!format.isEmpty() || !device || !device->isOpen()) return {};
        return device->isReadable() && PqzHandler::canRead(device) ? CanRead : Capabilities();
    }

    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override {
        auto* handler = new PqzHandler;
        handler->setDevice(device);
        handler->setFormat(format.isEmpty() ? QByteArray("pqz") : format);
        return handler;
    }
};

#include "pqz_plugin.moc"
