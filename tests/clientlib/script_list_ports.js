// A script client that lists the ports with their settings and deletes each one.
var library = new ActiveXObject("wharfcore.RemotePortLibrary");
var ports = library.getPortsJs();
WScript.Echo("ports " + ports.length);
for (var i = 0; i < ports.length; i++) {
    var port = ports[i];
    WScript.Echo("COM" + port.port + " " + port.remoteHost + ":" + port.remotePort + " " + port.login + " " + port.domain);
    port.deleteDevice();
    WScript.Echo("deleted COM" + port.port);
}
