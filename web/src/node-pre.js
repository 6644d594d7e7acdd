// The face cascade is installed beside vetrix-audit.js; the command falls back to that copy
// when the working directory has none.
Module['preRun'] = Module['preRun'] || [];
Module['preRun'].push(function () {
  ENV['VETRIX_SYSTEM_CASCADE'] = require('path').join(__dirname, 'haarcascade_frontalface_alt2.xml');
});
