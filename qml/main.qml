import QtQuick 2.15
import QtQuick.Window 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Universal 2.15
import Utils 1.0
import DownloadManager 1.0
import QtQuick.XmlListModel 2.15

ApplicationWindow {
    id: window
    width: 450
    height: 180
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    visible: true
    title: qsTr("Korvel update")
    Universal.accent: "#0092cc"
    background: Rectangle {
        color: "Black"
    }

    property int currentIndex: 0
    property int xmlCount: componentsModel.count
    property string currentDownloadName: ""
    property int downloadPercentage: 0
    // Set once the update has stopped: the window says why, and no longer
    // shows progress.
    property string stallText: ""
    // The wait before the next try, counted down.
    property string retryText: ""

    Component.onCompleted: Universal.theme = Universal.Dark

    XmlListModel {
        id: componentsModel
        objectName: "componentsModel"
        source: ""
        query: "/model/item"

        XmlRole { name: "name"; query: "name/string()" }
        XmlRole { name: "version"; query: "version/string()" }
        XmlRole { name: "url"; query: "url/string()" }
        XmlRole { name: "installlocation"; query: "installlocation/string()" }
        XmlRole { name: "filesize"; query: "filesize/string()" }
        XmlRole { name: "requireuac"; query: "requireuac/string()" }

        onCountChanged: console.log("Xml count: " + count)
        // A manifest that starts nothing says why: the window shows no cause.
        onStatusChanged: {
            if (status === XmlListModel.Ready && count > 0)
                startLoop()
            else if (status === XmlListModel.Ready) {
                console.log("Manifest has no items: \"" + source + "\"")
                stallText = utils.stallText("manifest")
            }
            else if (status === XmlListModel.Error)
                Qt.callLater(reportError)
        }

        // Once the handlers have run: a newer address cancels the load of the
        // one before, and that ends in an error too.
        function reportError() {
            if (status === XmlListModel.Error) {
                console.log("Manifest error: \"" + source + "\" " + errorString())
                stallText = utils.stallText("manifest")
            }
        }
    }

    function startLoop() {
        loopThrough()
    }

    function loopThrough() {
        var item = componentsModel.get(currentIndex)
        currentDownloadName = item.name
        // Only the exact marker means the updater's own directory.
        var installPath = item.installlocation === "installdir" ? utils.installPath()
                                                                : item.installlocation
        // A name that would reach outside its folder counts as empty: the
        // target is then the folder itself, which is never written.
        var name = utils.isFileName(item.name) ? item.name : ""
        downloadManager.download(item.url, installPath + "/" + name)
        currentIndex = currentIndex + 1
    }

    DownloadManager {
        id: downloadManager
        objectName: "downloadManager"

        onDownloadStarted: {}
        onDownloadCancelled: {}
        onDownloadError: {}
        onProgressPercentage: downloadPercentage = percentage
        onDownloadedBytes: fileSizeLabel.showAmount(bytesReceived)
        onRetryStatus: retryText = text
        onStalled: stallText = text
        onDownloadComplete: {
            if (currentIndex === xmlCount) {
                // The release is kept only whole; if it cannot be, the update stalls.
                if (!utils.commitRelease()) {
                    stallText = utils.stallText("commit")
                    return
                }
                utils.cleanup()
                utils.startApp()
            } else {
                loopThrough()
            }
        }
    }

    Timer {
        id: initTimer
        interval: 100
        running: true
        repeat: false
        onTriggered: utils.outputFile()
    }

    Utils {
        id: utils
        objectName: "utils"
        onFileOutput: componentsModel.source = output
    }

    Label {
        objectName: "counterLabel"
        anchors.top: parent.top
        anchors.topMargin: 15
        anchors.horizontalCenter: parent.horizontalCenter
        color: "White"
        font.pointSize: 11
        width: parent.width - 20
        wrapMode: Text.WordWrap
        horizontalAlignment: Text.AlignHCenter
        text: stallText !== "" ? stallText
                               : qsTr("Downloading ") + "(" + currentIndex + "/" + xmlCount + ")"
                                 + "\n" + currentDownloadName
    }

    ProgressBar {
        id: progressBar
        objectName: "progressBar"
        anchors.centerIn: parent
        width: parent.width / 1.3
        visible: stallText === ""
        from: 0
        to: 100
        value: downloadPercentage
    }

    Label {
        objectName: "percentageLabel"
        anchors.right: parent.right
        anchors.rightMargin: 10
        anchors.verticalCenter: progressBar.verticalCenter
        visible: stallText === ""
        text: downloadPercentage + "%"
    }

    Label {
        objectName: "retryLabel"
        anchors.top: progressBar.bottom
        anchors.topMargin: 8
        anchors.horizontalCenter: parent.horizontalCenter
        visible: retryText !== "" && stallText === ""
        color: "White"
        text: retryText
    }

    Label {
        id: fileSizeLabel
        objectName: "fileSizeLabel"
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 10
        anchors.horizontalCenter: parent.horizontalCenter
        visible: stallText === ""

        // Binary units; the unit is chosen before rounding, so 1048575 bytes
        // show as 1024.0 KB.
        function showAmount(bytesReceived) {
            if (isNaN(bytesReceived))
                return
            var units = [" bytes", " KB", " MB", " GB", " TB", " PB", " EB"]
            var amount = Number(bytesReceived)
            var exponent = Math.floor(Math.log(amount) / Math.log(2))
            // Covers 0 (minus infinity) and 1; a negative amount gives NaN.
            if (!(exponent >= 1))
                exponent = 0
            var index = Math.min(Math.floor(exponent / 10), units.length - 1)
            var value = amount / Math.pow(2, 10 * index)
            var fixed = value.toFixed(1)
            if (String(value).length > fixed.length)
                value = fixed
            text = value + units[index]
        }
    }
}
