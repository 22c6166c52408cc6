#!/bin/sh
echo "hello from an extracted script"
