/*
 * The page tag. Reports one page view to the collector by requesting the
 * tag image with the page's fields in the query string:
 *   kyruri  the page's path        kyrqry  its query (without "?")
 *   kyrref  the referring page     kyrsip  the page's host
 *   kyrdat  the browser's time in milliseconds since 1970
 * Each value is URL-encoded. A tag URL longer than 2048 characters is cut
 * and ends with "&ZR.tu=1", so the collector knows the hit is incomplete.
 *
 * The tag image is "/kyr.gif"; a page may set window.kyrTagPath first (for
 * example "/<KYR ID>/kyr.gif" for a hosted site).
 */
(function (window, document) {
  'use strict';

  var MAX_URL = 2048;
  var TRUNCATED = '&ZR.tu=1';

  function param(name, value) {
    return name + '=' + encodeURIComponent(value === undefined || value === null ? '' : String(value));
  }

  // Cuts `url` to MAX_URL characters with the truncation marker at its end,
  // never leaving half of a %XX escape behind.
  function cut(url) {
    if (url.length <= MAX_URL) {
      return url;
    }
    var end = MAX_URL - TRUNCATED.length;
    var percent = url.lastIndexOf('%', end - 1);
    if (percent >= 0 && percent > end - 3) {
      end = percent;
    }
    return url.substring(0, end) + TRUNCATED;
  }

  function tagUrl(path) {
    var location = window.location;
    var query = location.search ? location.search.substring(1) : '';
    return cut(path + '?' + [
      param('kyruri', location.pathname),
      param('kyrqry', query),
      param('kyrref', document.referrer),
      param('kyrsip', location.hostname),
      param('kyrdat', new Date().getTime())
    ].join('&'));
  }

  function send() {
    var image = document.createElement('img');
    image.width = 1;
    image.height = 1;
    image.alt = '';
    image.style.position = 'absolute';
    image.style.left = '-10px';
    image.src = tagUrl(window.kyrTagPath || '/kyr.gif');
    (document.body || document.documentElement).appendChild(image);
  }

  window.kyrTag = { url: tagUrl, cut: cut, send: send };
  send();
}(window, document));
